// One line of text rasterised by QtGui into a 0/1 byte mask.
#include "platform/text/TextMask.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLoggingCategory>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <cstring>

Q_LOGGING_CATEGORY(lcTextMask, "brisolt.text")

namespace {

// Glyphs of a taller line are drawn at this pixel size: beyond it the glyph cache would
// hold bitmaps of many megabytes for a frame tens of thousands of rows high.
constexpr int kMaxPixelSize = 2048;

// A fixed-pitch font of medium weight whose em square is `pixelHeight` pixels high: the
// character height without internal leading. Rasterised in two levels only, so every pixel
// is either glyph or background and no threshold has to guess.
QFont StampFont(int pixelHeight) {
    QFont font(QStringLiteral("monospace"));
    font.setStyleHint(QFont::TypeWriter,
                      QFont::StyleStrategy(QFont::NoAntialias | QFont::NoSubpixelAntialias));
    font.setFixedPitch(true);
    font.setWeight(QFont::Medium);
    font.setKerning(false);
    font.setPixelSize(std::clamp(pixelHeight, 1, kMaxPixelSize));
    return font;
}

// Writes bit 7 of each pixel's green channel as 0/1 and returns a nonzero value if some green
// value was neither 0 nor 255, that is a grey level: (g + 1) & 0xFE is 0 only for those two.
// Fixed-length blocks let the compiler vectorise the loop.
std::uint32_t GreenToBits(const QRgb* pixels, std::uint8_t* out, int count) {
    constexpr int kBlock = 32;
    std::uint32_t grey = 0;
    int x = 0;
    for (; x + kBlock <= count; x += kBlock) {
        // Built in a local block first: the output bytes could alias the pixels otherwise,
        // which would keep the loop scalar.
        std::uint8_t bits[kBlock];
        for (int k = 0; k < kBlock; ++k) {
            const std::uint32_t green = (pixels[x + k] >> 8) & 0xFFu;
            grey |= (green + 1) & 0xFEu;
            bits[k] = static_cast<std::uint8_t>(green >> 7);
        }
        std::memcpy(out + x, bits, kBlock);
    }
    for (; x < count; ++x) {
        const std::uint32_t green = (pixels[x] >> 8) & 0xFFu;
        grey |= (green + 1) & 0xFEu;
        out[x] = static_cast<std::uint8_t>(green >> 7);
    }
    return grey;
}

}  // namespace

int RenderTextMask(std::string_view text, int width, int height, std::uint8_t* mask) {
    const bool drawing = mask != nullptr && width > 0 && height > 0;
    const auto clearMask = [&] {
        if (drawing) {
            std::memset(mask, 0,
                        static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        }
    };
    if (height <= 0) {
        return 0;
    }
    if (qGuiApp == nullptr) {
        // Fonts need the GUI application; without it the band stays plain background.
        clearMask();
        qCWarning(lcTextMask) << "no QGuiApplication: time-stamp text not drawn";
        return 0;
    }

    const QFont font = StampFont(height);
    const QFontMetrics metrics(font);
    const QString line = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    // Centred like a single line in a rectangle: the line box (ascent + descent) is usually
    // taller than the em height, so its top may lie above row 0 and its bottom below the
    // last row; both are cut off by the mask.
    const int lineHeight = metrics.height();
    const int top = (height - lineHeight) / 2;
    const int bottom = top + lineHeight;
    if (!drawing) {
        return bottom;
    }

    // Only the columns the text can reach are painted; the mask is 0 beyond them anyway.
    const QRect ink = metrics.boundingRect(line);
    const int reach = std::max(metrics.horizontalAdvance(line), ink.right() + 1) + 1;
    const int paintWidth = std::clamp(reach, 1, width);
    QImage image(paintWidth, height, QImage::Format_RGB32);
    if (image.isNull()) {
        qCWarning(lcTextMask) << "cannot allocate a" << paintWidth << "x" << height << "image";
        clearMask();
        return bottom;
    }
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        // Lines above the glyph-cache size are filled as outlines: no smoothing there either.
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QPoint(0, top + metrics.ascent()), line);
    }

    // White is glyph, black is background; the green channel carries it like any other.
    std::uint32_t grey = 0;
    for (int y = 0; y < height; ++y) {
        const auto* pixels = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        std::uint8_t* out = mask + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        grey |= GreenToBits(pixels, out, paintWidth);
        std::memset(out + paintWidth, 0, static_cast<std::size_t>(width - paintWidth));
    }
    const bool greyFound = grey != 0;
    static bool greyReported = false;  // once per process, not thirty times a second
    if (greyFound && !greyReported) {
        greyReported = true;
        qCWarning(lcTextMask) << "font engine drew grey levels despite NoAntialias";
    }
    return bottom;
}
