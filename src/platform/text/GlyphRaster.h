// The drawing step shared by the whole-line renderer and the glyph cells: one glyph run
// painted into a 0/1 byte mask, and the line metrics of a band height.
#pragma once

#include <QFont>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRawFont>
#include <QRect>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace glyphraster {

// The font and vertical placement of the line in a band `height` rows high.
struct LineFace {
    QFont font;
    QRawFont raw;
    int pixelSize = 0;
    int top = 0;         // top of the line box; may lie above row 0
    int bottom = 0;      // row just below the line box
    qreal baseline = 0;  // pen row of every glyph
};

// Needs a QGuiApplication.
LineFace FaceForHeight(int height);

// Pen positions at the font's own advances from column 0, and the pen after the last glyph.
QList<QPointF> PenPositions(const LineFace& face, const QList<quint32>& glyphs, qreal* end);

// One line of text laid out in a band `width` columns wide: its glyphs (characters the font
// lacks show as its missing-glyph box), their pen positions, the pen after the last glyph,
// and how many columns painting must cover (the mask is 0 beyond them).
struct LineLayout {
    QList<quint32> glyphs;
    QList<QPointF> positions;
    qreal end = 0;
    int paintWidth = 1;
};
LineLayout LayOutLine(const LineFace& face, const QString& text, int width);

// A black surface that glyphs of one face are painted on in white, without grey levels.
class GlyphSurface {
public:
    GlyphSurface(const LineFace& face, int width, int height);
    // The surface could not be allocated.
    bool isNull() const { return image_.isNull(); }
    int Width() const { return image_.width(); }

    void Draw(const QList<quint32>& glyphs, const QList<QPointF>& positions);
    // Writes the columns [firstColumn, firstColumn + columns) of every row as 0/1 bytes,
    // `stride` apart per row.
    void Read(int firstColumn, int columns, std::uint8_t* out, std::size_t stride) const;
    // Paints the rectangle black again.
    void Clear(const QRect& area);

private:
    const LineFace& face_;
    bool cachedGlyphs_;
    QImage image_;
    std::uint32_t black_ = 0;
};

// Paints `glyphs` at `positions` into a paintWidth x height surface and writes it as 0/1
// bytes, `stride` apart per row, into `out`. False, with nothing written, if the surface
// cannot be allocated.
bool PaintGlyphs(const LineFace& face, const QList<quint32>& glyphs,
                 const QList<QPointF>& positions, int paintWidth, int height,
                 std::uint8_t* out, std::size_t stride);

}  // namespace glyphraster
