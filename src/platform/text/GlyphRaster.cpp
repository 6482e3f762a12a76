// One glyph run rasterised by QtGui into a 0/1 byte mask.
#include "platform/text/GlyphRaster.h"

#include "platform/text/TextMask.h"

#include <QFontMetrics>
#include <QGlyphRun>
#include <QImage>
#include <QLoggingCategory>
#include <QPainter>

#include <algorithm>
#include <cstring>

Q_LOGGING_CATEGORY(lcGlyphRaster, "brisolt.text")

namespace glyphraster {
namespace {

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

LineFace FaceForHeight(int height) {
    LineFace face;
    face.font = StampFont(height);
    face.raw = QRawFont::fromFont(face.font);
    face.pixelSize = face.font.pixelSize();
    const QFontMetrics metrics(face.font);
    // Centred like a single line in a rectangle: the line box (ascent + descent) is usually
    // taller than the em height, so its top may lie above row 0 and its bottom below the
    // last row; both are cut off by the mask.
    face.top = (height - metrics.height()) / 2;
    face.bottom = face.top + metrics.height();
    face.baseline = face.top + metrics.ascent();
    return face;
}

QList<QPointF> PenPositions(const LineFace& face, const QList<quint32>& glyphs, qreal* end) {
    // The line is set glyph by glyph at the font's own advances: a fixed-pitch line of
    // digits and Latin letters needs no shaping, which would cost more than the drawing.
    const QList<QPointF> advances =
        face.raw.advancesForGlyphIndexes(glyphs, QRawFont::SeparateAdvances);
    QList<QPointF> positions(glyphs.size());
    qreal pen = 0;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        positions[i] = QPointF(pen, face.baseline);
        pen += advances.value(i).x();
    }
    *end = pen;
    return positions;
}

LineLayout LayOutLine(const LineFace& face, const QString& text, int width) {
    LineLayout line;
    line.glyphs = face.raw.glyphIndexesForString(text);
    line.positions = PenPositions(face, line.glyphs, &line.end);
    // A glyph's ink may stand out past its advance, but never by a whole em.
    const qreal reach = std::min<qreal>(line.end + face.pixelSize + 1, width);
    line.paintWidth = std::clamp(static_cast<int>(reach), 1, width);
    return line;
}

GlyphSurface::GlyphSurface(const LineFace& face, int width, int height)
    : face_(face),
      cachedGlyphs_(face.pixelSize <= kLargestCachedGlyph),
      image_(width, height, cachedGlyphs_ ? QImage::Format_RGB30 : QImage::Format_RGB32) {
    if (image_.isNull()) {
        qCWarning(lcGlyphRaster) << "cannot allocate a" << width << "x" << height << "image";
        return;
    }
    image_.fill(Qt::black);
    black_ = *reinterpret_cast<const std::uint32_t*>(image_.constScanLine(0));
}

void GlyphSurface::Draw(const QList<quint32>& glyphs, const QList<QPointF>& positions) {
    if (image_.isNull() || glyphs.isEmpty()) {
        return;
    }
    QGlyphRun run;
    run.setRawFont(face_.raw);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    QPainter painter(&image_);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::white);
    painter.drawGlyphRun(QPointF(0, 0), run);
}

void GlyphSurface::Read(int firstColumn, int columns, std::uint8_t* out,
                        std::size_t stride) const {
    // White is glyph, black is background; the green channel's top bit tells them apart.
    std::uint32_t grey = 0;
    for (int y = 0; y < image_.height(); ++y) {
        const auto* pixels =
            reinterpret_cast<const std::uint32_t*>(image_.constScanLine(y)) + firstColumn;
        std::uint8_t* row = out + static_cast<std::size_t>(y) * stride;
        grey |= cachedGlyphs_ ? GreenToBits<10, 10>(pixels, row, columns)   // 2-10-10-10
                              : GreenToBits<8, 8>(pixels, row, columns);    // 8-8-8-8
    }
    static bool greyReported = false;  // once per process, not thirty times a second
    if (grey != 0 && !greyReported) {
        greyReported = true;
        qCWarning(lcGlyphRaster) << "font engine drew grey levels despite NoAntialias";
    }
}

void GlyphSurface::Clear(const QRect& area) {
    const QRect inside = area & image_.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        auto* pixels = reinterpret_cast<std::uint32_t*>(image_.scanLine(y));
        std::fill(pixels + inside.left(), pixels + inside.left() + inside.width(), black_);
    }
}

bool PaintGlyphs(const LineFace& face, const QList<quint32>& glyphs,
                 const QList<QPointF>& positions, int paintWidth, int height,
                 std::uint8_t* out, std::size_t stride) {
    GlyphSurface surface(face, paintWidth, height);
    if (surface.isNull()) {
        return false;
    }
    surface.Draw(glyphs, positions);
    surface.Read(0, paintWidth, out, stride);
    return true;
}

}  // namespace glyphraster
