// Glyph cells rendered once per band height, and the line composed from them.
#include "platform/text/TextMaskCache.h"

#include "platform/text/GlyphRaster.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QRect>
#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

Q_LOGGING_CATEGORY(lcTextMaskCache, "brisolt.text")

namespace {

// Bands up to this height (frames up to 5139 rows, 8K included) are composed from cells.
// Taller ones are drawn as a whole line when the text changes: the surface their cells are
// painted on would take tens of megabytes.
constexpr int kMaxCellBandRows = 256;

// The cells of one band height may take this much; beyond it they are all dropped and
// rendered again as needed. A year of stamps makes a few hundred cells of a few kilobytes
// at most, far below.
constexpr std::size_t kCellBudgetBytes = std::size_t{8} << 20;

// A composed mask larger than this is not kept once a smaller one is asked for.
constexpr std::size_t kKeptMaskBytes = std::size_t{4} << 20;

// Eight bits of a cell row spread over eight 0/1 mask bytes, lowest bit first.
using ByteSpread = std::array<std::array<std::uint8_t, 8>, 256>;
constexpr ByteSpread MakeByteSpread() {
    ByteSpread spread{};
    for (int b = 0; b < 256; ++b) {
        for (int j = 0; j < 8; ++j) {
            spread[b][j] = static_cast<std::uint8_t>((b >> j) & 1);
        }
    }
    return spread;
}
constexpr ByteSpread kByteSpread = MakeByteSpread();

// ORs one packed cell row into mask columns x0 .. x0 + columns - 1, leaving out those
// outside [0, limit).
void OrCellRow(const std::uint8_t* bits, int columns, int x0, int limit, std::uint8_t* row) {
    const int bytes = (columns + 7) / 8;
    for (int k = 0; k < bytes; ++k) {
        const std::uint8_t b = bits[k];
        if (b == 0) {
            continue;
        }
        const int x = x0 + 8 * k;
        if (x >= 0 && x + 8 <= limit) {
            std::uint64_t lit;
            std::uint64_t have;
            std::memcpy(&lit, kByteSpread[b].data(), sizeof lit);
            std::memcpy(&have, row + x, sizeof have);
            have |= lit;
            std::memcpy(row + x, &have, sizeof have);
            continue;
        }
        for (int j = 0; j < 8; ++j) {
            if (((b >> j) & 1) != 0 && x + j >= 0 && x + j < limit) {
                row[x + j] = 1;
            }
        }
    }
}

}  // namespace

std::size_t TextMaskCache::CellKeyHash::operator()(const CellKey& key) const {
    return std::hash<std::uint32_t>{}(key.glyph) * 31u + std::hash<double>{}(key.pen);
}

TextMaskCache::Mask TextMaskCache::Render(std::string_view text, int width, int height) {
    if (height <= 0) {
        return {};
    }
    const bool drawing = width > 0;
    const std::size_t bytes =
        drawing ? static_cast<std::size_t>(width) * static_cast<std::size_t>(height) : 0;
    if (qGuiApp == nullptr) {
        // Fonts need the GUI application; without it the band stays plain background.
        if (!warnedNoApplication_) {
            warnedNoApplication_ = true;
            qCWarning(lcTextMaskCache) << "no QGuiApplication: time-stamp text not drawn";
        }
        valid_ = false;
        mask_.assign(bytes, 0);
        return {drawing ? mask_.data() : nullptr, 0};
    }
    if (valid_ && width == width_ && height == height_ && text == text_) {
        return {drawing ? mask_.data() : nullptr, bottom_};
    }
    UseBandHeight(height);
    if (!drawing) {
        return {nullptr, bottom_};
    }
    // A mask with a glyph left out for want of memory is composed again next time.
    valid_ = Compose(text, width, height);
    text_.assign(text);
    width_ = width;
    height_ = height;
    return {mask_.data(), bottom_};
}

void TextMaskCache::UseBandHeight(int height) {
    if (height == cellHeight_) {
        return;
    }
    // A new band height needs cells of its own; the old ones are dropped, not kept beside,
    // and so is the kept mask, whose bottom was that of the old height.
    valid_ = false;
    cells_.clear();
    cellBytes_ = 0;
    cellHeight_ = height;
    bottom_ = glyphraster::FaceForHeight(height).bottom;
}

void TextMaskCache::StoreCell(const CellKey& key, Cell cell) {
    if (cellBytes_ + cell.bits.size() > kCellBudgetBytes) {
        cells_.clear();
        cellBytes_ = 0;
    }
    cellBytes_ += cell.bits.size();
    cells_.insert_or_assign(key, std::move(cell));
}

// Paints one glyph alone on the black surface, keeps its lit pixels as packed bits and
// paints them black again. Its ink is looked for in the columns [from, to), on the whole
// surface if it touches a side of them.
TextMaskCache::Cell TextMaskCache::PaintCell(glyphraster::GlyphSurface& surface,
                                             std::uint32_t glyph, const QPointF& position,
                                             int from, int to, int height,
                                             std::vector<std::uint8_t>& window) {
    const QList<quint32> glyphs{glyph};
    const int surfaceWidth = surface.Width();
    from = std::clamp(from, 0, surfaceWidth);
    to = std::clamp(to, from, surfaceWidth);
    surface.Draw(glyphs, QList<QPointF>{position});

    int columns = 0;
    int firstColumn = 0, lastColumn = -1, firstRow = height, lastRow = -1;
    for (;;) {
        columns = to - from;
        window.resize(static_cast<std::size_t>(columns) * static_cast<std::size_t>(height));
        surface.Read(from, columns, window.data(), static_cast<std::size_t>(columns));
        firstColumn = columns;
        lastColumn = -1;
        firstRow = height;
        lastRow = -1;
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* row = window.data() + static_cast<std::size_t>(y) * columns;
            for (int x = 0; x < columns; ++x) {
                if (row[x] != 0) {
                    firstColumn = std::min(firstColumn, x);
                    lastColumn = std::max(lastColumn, x);
                    firstRow = std::min(firstRow, y);
                    lastRow = y;
                }
            }
        }
        // Ink at a side of the window may go on beyond it: look at the whole surface.
        const bool cut = lastColumn >= 0 && ((firstColumn == 0 && from > 0) ||
                                             (lastColumn == columns - 1 && to < surfaceWidth));
        if (!cut) {
            break;
        }
        from = 0;
        to = surfaceWidth;
    }
    Cell cell;
    if (lastColumn < 0) {
        return cell;  // a blank: nothing to compose
    }
    surface.Clear(QRect(from + firstColumn, firstRow, lastColumn - firstColumn + 1,
                        lastRow - firstRow + 1));
    cell.left = from + firstColumn;
    cell.top = firstRow;
    cell.columns = lastColumn - firstColumn + 1;
    cell.rows = lastRow - firstRow + 1;
    const int rowBytes = (cell.columns + 7) / 8;
    cell.bits.assign(static_cast<std::size_t>(rowBytes) * cell.rows, 0);
    for (int y = 0; y < cell.rows; ++y) {
        const std::uint8_t* row =
            window.data() + static_cast<std::size_t>(firstRow + y) * columns + firstColumn;
        std::uint8_t* out = cell.bits.data() + static_cast<std::size_t>(y) * rowBytes;
        for (int x = 0; x < cell.columns; ++x) {
            out[x / 8] |= static_cast<std::uint8_t>(row[x] << (x % 8));
        }
    }
    return cell;
}

bool TextMaskCache::Compose(std::string_view text, int width, int height) {
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (mask_.capacity() > kKeptMaskBytes && bytes < mask_.capacity()) {
        std::vector<std::uint8_t>().swap(mask_);
    }
    // Composed afresh: nothing of the previous line stays.
    mask_.assign(bytes, 0);

    const glyphraster::LineFace face = glyphraster::FaceForHeight(height);
    const glyphraster::LineLayout layout = glyphraster::LayOutLine(
        face, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), width);
    const QList<quint32>& glyphs = layout.glyphs;
    const QList<QPointF>& positions = layout.positions;
    const int paintWidth = layout.paintWidth;
    const qreal end = layout.end;

    if (height > kMaxCellBandRows) {
        if (!glyphraster::PaintGlyphs(face, glyphs, positions, paintWidth, height,
                                      mask_.data(), static_cast<std::size_t>(width))) {
            std::fill(mask_.begin(), mask_.end(), 0);
            return false;
        }
        return true;
    }
    // Glyph i's ink is looked for within an em on either side of its advance, the reach
    // the whole-line drawing allows it too. Glyphs whose reach begins right of the painted
    // columns cannot show.
    const auto reachOf = [&](qsizetype i) {
        const qreal pen = positions[i].x();
        const qreal next = i + 1 < glyphs.size() ? positions[i + 1].x() : end;
        return std::pair<int, int>(
            static_cast<int>(std::floor(pen)) - face.pixelSize - 1,
            static_cast<int>(std::ceil(std::max(pen, next))) + face.pixelSize + 1);
    };
    int surfaceWidth = 0;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        const auto [from, to] = reachOf(i);
        if (from < paintWidth && !cells_.contains(CellKey{glyphs[i], positions[i].x()})) {
            surfaceWidth = std::max(surfaceWidth, to);
        }
    }

    // Cells not made yet are painted one at a time on one surface, each at its pen position
    // in the line: the rasteriser's rounding may depend on where on the surface a glyph
    // lies, not only on its offset from a whole column.
    std::optional<glyphraster::GlyphSurface> surface;
    std::vector<std::uint8_t> window;
    bool complete = true;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        const auto [from, to] = reachOf(i);
        if (from >= paintWidth) {
            continue;
        }
        const CellKey key{glyphs[i], positions[i].x()};
        auto found = cells_.find(key);
        if (found == cells_.end()) {
            if (!surface) {
                surface.emplace(face, surfaceWidth, height);
            }
            if (surface->isNull()) {
                complete = false;
                continue;
            }
            StoreCell(key, PaintCell(*surface, key.glyph, positions[i], from, to, height, window));
            found = cells_.find(key);
        }
        const Cell& cell = found->second;
        const int rowBytes = (cell.columns + 7) / 8;
        for (int y = 0; y < cell.rows; ++y) {
            OrCellRow(cell.bits.data() + static_cast<std::size_t>(y) * rowBytes, cell.columns,
                      cell.left, paintWidth,
                      mask_.data() + static_cast<std::size_t>(cell.top + y) * width);
        }
    }
    return complete;
}
