// What the camera tests share: reading back what the fake camera paints, answering the
// driver's dialogs, the log, and the fixture that lays out a fake camera.
#include "camera_harness.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QLabel>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace cameratest {

int Luma(QRgb c) { return (299 * qRed(c) + 587 * qGreen(c) + 114 * qBlue(c)) / 1000; }

// The frame number the fake camera painted into the band across the middle of the picture.
long FrameNumber(const QImage& image) {
    const int y = image.height() * 45 / 100;
    long number = 0;
    for (int bit = 0; bit < kCounterBits; ++bit) {
        const int x = static_cast<int>((bit + 2.5) * image.width() / 24);
        number = number * 2 + (Luma(image.pixel(x, y)) > 128 ? 1 : 0);
    }
    return number;
}

// Mean brightness of the moving picture (below the counter, above a low time stamp).
double PictureLuma(const QImage& image) {
    long sum = 0, count = 0;
    for (int y = image.height() * 55 / 100; y < image.height() * 85 / 100; y += 3)
        for (int x = 0; x < image.width(); x += 3, ++count)
            sum += Luma(image.pixel(x, y));
    return count ? double(sum) / count : 0;
}

// Whether the time-stamp band is drawn into the top or the bottom rows (which of them
// depends on the layout's row order): the band darkens the picture below its darkest pixel
// and lights glyphs above its brightest.
bool HasStampBand(const QImage& image) {
    int lowest = 255, highest = 0;
    for (int y = image.height() * 55 / 100; y < image.height() * 85 / 100; ++y)
        for (int x = 0; x < image.width(); ++x) {
            lowest = std::min(lowest, Luma(image.pixel(x, y)));
            highest = std::max(highest, Luma(image.pixel(x, y)));
        }
    const auto bandIn = [&](int top, int bottom) {
        bool darker = false, lighter = false;
        for (int y = top; y < bottom; ++y)
            for (int x = 0; x < image.width(); ++x) {
                const int l = Luma(image.pixel(x, y));
                darker |= l < lowest - 10;
                lighter |= l > highest + 10;
            }
        return darker && lighter;
    };
    const int h = image.height();
    return bandIn(0, h * 15 / 100) || bandIn(h * 85 / 100, h);
}

// Every frame of a video file, decoded by ffmpeg to RGB.
std::vector<QImage> DecodeFrames(const QString& path, int width, int height) {
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    if (!ffmpeg.waitForFinished(30000) || ffmpeg.exitCode() != 0)
        return {};
    const QByteArray bytes = ffmpeg.readAllStandardOutput();
    const qsizetype frameBytes = qsizetype(width) * height * 3;
    std::vector<QImage> frames;
    for (qsizetype at = 0; at + frameBytes <= bytes.size(); at += frameBytes)
        frames.push_back(QImage(reinterpret_cast<const uchar*>(bytes.constData() + at), width,
                                height, width * 3, QImage::Format_RGB888)
                             .copy());
    return frames;
}

// ---- the event loop, dialogs and the log ------------------------------------------------

// Answers each modal dialog that opens: the handler for its object name may change it, then
// it is accepted. Stays until the object is destroyed.
void Choose(QDialog* dialog, const char* comboName, const QString& text) {
    auto* combo = dialog->findChild<QComboBox*>(comboName);
    ASSERT_NE(combo, nullptr) << comboName;
    const int index = combo->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    combo->setCurrentIndex(index);
}

// The rows of a dialog's form: label text and field widget.
std::vector<std::pair<QString, QWidget*>> FormRows(QDialog* dialog) {
    std::vector<std::pair<QString, QWidget*>> rows;
    auto* form = dialog->findChild<QFormLayout*>();
    if (form == nullptr)
        return rows;
    for (int row = 0; row < form->rowCount(); ++row) {
        QLayoutItem* label = form->itemAt(row, QFormLayout::LabelRole);
        QLayoutItem* field = form->itemAt(row, QFormLayout::FieldRole);
        auto* text = label ? qobject_cast<QLabel*>(label->widget()) : nullptr;
        if (text != nullptr && field != nullptr)
            rows.emplace_back(text->text(), field->widget());
    }
    return rows;
}

namespace {
std::mutex g_logMutex;
std::vector<std::string> g_log;
QtMessageHandler g_previousHandler = nullptr;
}  // namespace

namespace {
void RecordMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    {
        std::lock_guard lock(g_logMutex);
        g_log.push_back(text.toStdString());
    }
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

}  // namespace

void StartRecordingLog() { g_previousHandler = qInstallMessageHandler(RecordMessage); }
void StopRecordingLog() { qInstallMessageHandler(g_previousHandler); }

std::string LogSince(std::size_t from) {
    std::lock_guard lock(g_logMutex);
    std::string all;
    for (std::size_t i = from; i < g_log.size(); ++i)
        all += g_log[i] + "\n";
    return all;
}

std::size_t LogSize() {
    std::lock_guard lock(g_logMutex);
    return g_log.size();
}

bool WaitUntilUnplugged(const std::string& node, int ms) {
    return WaitFor([&] {
        const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        return fd < 0;
    }, ms);
}

int ThreadCount() {
    int count = 0;
    std::error_code ec;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task", ec))
        ++count;
    return count;
}

}  // namespace cameratest
