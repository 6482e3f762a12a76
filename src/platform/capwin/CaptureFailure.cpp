// Failures of the capture window sorted by what the user can do about them.
#include "platform/capwin/CaptureFailure.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

CaptureProblem FileProblem(int error, const QString& what) {
    CaptureProblem problem;
    if (error == 0) {
        problem.kind = CaptureFailureKind::StoreFailed;
        problem.text = what.isEmpty() ? QStringLiteral("the file did not take the frame") : what;
        return problem;
    }
    problem.text = QString::fromLocal8Bit(std::strerror(error));
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        problem.kind = CaptureFailureKind::NoSpace;
        break;
    case EFBIG:
        problem.kind = CaptureFailureKind::FileSizeLimit;
        break;
    default:
        problem.kind = CaptureFailureKind::WriteError;
        break;
    }
    return problem;
}

CaptureProblem OpenProblemFromAvError(int avError) {
    CaptureProblem problem;
    char message[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(avError, message, sizeof message) < 0)
        std::strncpy(message, "unknown error", sizeof message - 1);
    problem.text = QString::fromLocal8Bit(message);
    if (avError == AVERROR(EBUSY))
        problem.kind = CaptureFailureKind::DeviceBusy;
    else if (avError == AVERROR(ENOENT) || avError == AVERROR(ENODEV) ||
             avError == AVERROR(ENXIO))
        problem.kind = CaptureFailureKind::NoSuchDevice;
    else if (avError == AVERROR(EINVAL) || avError == AVERROR_DECODER_NOT_FOUND)
        problem.kind = CaptureFailureKind::FormatRefused;
    else
        problem.kind = CaptureFailureKind::OpenFailed;
    return problem;
}
