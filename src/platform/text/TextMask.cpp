// One line of text rasterised by QtGui into a 0/1 byte mask.
#include "platform/text/TextMask.h"

#include <QFont>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QLoggingCategory>
#include <QPainter>
#include <QPointF>
#include <QRawFont>
#include <QString>

#include <algorithm>
#include <cstring>

Q_LOGGING_CATEGORY(lcTextMask, "brisolt.text")

namespace {

// Glyphs of a taller line are drawn at this pixel size: beyond it the font engine would
// build outlines and bitmaps of many megabytes for a frame tens of thousands of rows high.
constexpr int kMaxPixelSize = 2048;

// Qt draws glyphs up to this pixel size from its glyph cache as bitmaps, larger ones by
// filling their outlines. The surface format only changes the speed, not a single pixel:
// cached one-bit glyphs go into 32-bit RGB images through masked non-temporal stores, which
// are several times slower than the plain stores used for the 30-bit format, while outline
// fills are fastest into 32-bit RGB.
constexpr int kLargestCachedGlyph = 64;


// The conversion is built twice on x86-64, for AVX2 and for the baseline; the loader picks
// one at start-up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define BRISOLT_MASK_TARGETS __attribute__((target_clones("avx2", "default")))
#else
#define BRISOLT_MASK_TARGETS
#endif

// Writes the top bit of each pixel's green channel (kBits wide, starting at bit kLow) as 0/1
// and returns a nonzero value if some green value was neither 0 nor full, that is a grey
// level: (g + 1) & (full - 1) is 0 only for those two. Fixed-length blocks let the compiler
// vectorise the loop.
template <int kLow, int kBits>
BRISOLT_MASK_TARGETS std::uint32_t GreenToBits(const std::uint32_t* pixels, std::uint8_t* out,
                                               int count) {
    constexpr std::uint32_t kFull = (1u << kBits) - 1;
    constexpr int kBlock = 32;
    std::uint32_t grey = 0;
    int x = 0;
    for (; x + kBlock <= count; x += kBlock) {
        // Built in a local block first: the output bytes could alias the pixels otherwise,
        // which would keep the loop scalar.
        std::uint8_t bits[kBlock];
        for (int k = 0; k < kBlock; ++k) {
            const std::uint32_t green = (pixels[x + k] >> kLow) & kFull;
            grey |= (green + 1) & (kFull - 1);
            bits[k] = static_cast<std::uint8_t>(green >> (kBits - 1));
        }
        std::memcpy(out + x, bits, kBlock);
    }
    for (; x < count; ++x) {
        const std::uint32_t green = (pixels[x] >> kLow) & kFull;
        grey |= (green + 1) & (kFull - 1);
        out[x] = static_cast<std::uint8_t>(green >> (kBits - 1));
    }
    return grey;
}

}  // namespace

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
    // Centred like a single line in a rectangle: the line box (ascent + descent) is usually
    // taller than the em height, so its top may lie above row 0 and its bottom below the
    // last row; both are cut off by the mask.
    const int lineHeight = metrics.height();
    const int top = (height - lineHeight) / 2;
    const int bottom = top + lineHeight;
    if (!drawing) {
        return bottom;
    }

    // The line is set glyph by glyph at the font's own advances: a fixed-pitch line of
    // digits and Latin letters needs no shaping, which would cost more than the drawing.
    // Characters the font lacks show as its missing-glyph box.
    const QRawFont raw = QRawFont::fromFont(font);
    const QString line = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    const QList<quint32> glyphs = raw.glyphIndexesForString(line);
    const QList<QPointF> advances =
        raw.advancesForGlyphIndexes(glyphs, QRawFont::SeparateAdvances);
    QList<QPointF> positions(glyphs.size());
    const qreal baseline = top + metrics.ascent();
    qreal pen = 0;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        positions[i] = QPointF(pen, baseline);
        pen += advances.value(i).x();
    }

    // Only the columns the text can reach are painted; the mask is 0 beyond them anyway.
    // A glyph's ink may stand out past its advance, but never by a whole em.
    const qreal reach = std::min<qreal>(pen + font.pixelSize() + 1, width);
    const int paintWidth = std::clamp(static_cast<int>(reach), 1, width);
    const bool cachedGlyphs = font.pixelSize() <= kLargestCachedGlyph;
    QImage image(paintWidth, height,
                 cachedGlyphs ? QImage::Format_RGB30 : QImage::Format_RGB32);
    if (image.isNull()) {
        qCWarning(lcTextMask) << "cannot allocate a" << paintWidth << "x" << height << "image";
        clearMask();
        return bottom;
    }
    image.fill(Qt::black);
    if (!glyphs.isEmpty()) {
        QGlyphRun run;
        run.setRawFont(raw);
        run.setGlyphIndexes(glyphs);
        run.setPositions(positions);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(Qt::white);
        painter.drawGlyphRun(QPointF(0, 0), run);
    }

    // White is glyph, black is background; the green channel's top bit tells them apart.
    std::uint32_t grey = 0;
    for (int y = 0; y < height; ++y) {
        const auto* pixels = reinterpret_cast<const std::uint32_t*>(image.constScanLine(y));
        std::uint8_t* out = mask + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        grey |= cachedGlyphs ? GreenToBits<10, 10>(pixels, out, paintWidth)   // 2-10-10-10
                             : GreenToBits<8, 8>(pixels, out, paintWidth);    // 8-8-8-8
        std::memset(out + paintWidth, 0, static_cast<std::size_t>(width - paintWidth));
    }
    static bool greyReported = false;  // once per process, not thirty times a second
    if (grey != 0 && !greyReported) {
        greyReported = true;
        qCWarning(lcTextMask) << "font engine drew grey levels despite NoAntialias";
    }
    return bottom;
}
