// The status line's words for counts, durations, sizes and the reasons of failures.
#include "app/StatusWords.h"

QString Count(std::int64_t n, const char* thing) {
    return QString::number(n) + QLatin1Char(' ') + QString::fromLatin1(thing) +
           (n == 1 ? QString() : QStringLiteral("s"));
}

QString DurationWords(std::int64_t seconds) {
    if (seconds < 120)
        return QString::number(seconds) + QStringLiteral(" s");
    if (seconds < 2 * 3600)
        return QString::number(seconds / 60) + QStringLiteral(" min");
    return QString::number(seconds / 3600) + QStringLiteral(" h ") +
           QString::number(seconds / 60 % 60) + QStringLiteral(" min");
}

QString ByteCountWords(qint64 bytes) {
    if (bytes < 0)
        return QStringLiteral("size unknown");
    if (bytes < 1000000)
        return QString::number((bytes + 999) / 1000) + QStringLiteral(" kB");
    if (bytes % 1000000 == 0)
        return QString::number(bytes / 1000000) + QStringLiteral(" MB");
    // QString::number writes the C locale's decimal point whatever the user's locale says.
    return QString::number(static_cast<double>(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
}

QString CaptureFailureWords(const CaptureProblem& problem) {
    const QString& text = problem.text;
    switch (problem.kind) {
    case CaptureFailureKind::NoSuchDevice:
        return QStringLiteral("no such device");
    case CaptureFailureKind::DeviceBusy:
        return QStringLiteral("the device is busy (another program uses it)");
    case CaptureFailureKind::FormatRefused:
        return QStringLiteral("the device refused the format") +
               (text.isEmpty() ? QString() : QStringLiteral(" (") + text + QLatin1Char(')'));
    case CaptureFailureKind::NoFrame:
        return QStringLiteral("the device opened but sent no picture");
    case CaptureFailureKind::OpenFailed:
        return QStringLiteral("FFmpeg: ") + text;
    case CaptureFailureKind::DeviceGone:
        return QStringLiteral("the device is gone (it stopped sending pictures)");
    case CaptureFailureKind::NoSpace:
        return QStringLiteral("no space left on the disk");
    case CaptureFailureKind::FileSizeLimit:
        return QStringLiteral("the file reached the file size limit");
    case CaptureFailureKind::NoFileName:
        return QStringLiteral("no file could be opened");
    case CaptureFailureKind::WriteError:
        return QStringLiteral("write error: ") + text;
    case CaptureFailureKind::StoreFailed:
        return QStringLiteral("cannot store the frames: ") + text;
    case CaptureFailureKind::None:
        break;
    }
    return text.isEmpty() ? QStringLiteral("no reason given") : text;
}

QString PowerProblemWords(PowerStep step, const PowerProblem& problem) {
    const QString what = step == PowerStep::Hibernate ? QStringLiteral("hibernation")
                                                      : QStringLiteral("suspend");
    const QString text = QString::fromStdString(problem.text);
    switch (problem.refusal) {
    case PowerRefusal::Refused:
        return QStringLiteral("logind refused ") + what + QStringLiteral(": ") + text;
    case PowerRefusal::Unavailable:
        return what + QStringLiteral(" unavailable: ") + text;
    case PowerRefusal::NotPermitted:
        return what + QStringLiteral(" not permitted: ") + text;
    case PowerRefusal::None:
        break;
    }
    return {};
}
