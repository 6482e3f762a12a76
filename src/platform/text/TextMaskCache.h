// The time-stamp mask composed from glyph cells rendered once per band height.
#pragma once

#include <QPointF>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace glyphraster {
class GlyphSurface;
}  // namespace glyphraster

// Gives the same bits as RenderTextMaskDirect, but renders each glyph only once per band
// height and pen position into a one-bit cell and composes lines from the cells.
// The composed mask is kept while text, width and height stay the same, so a preview at
// 30 frames a second with a text that changes once a second composes once a second.
// Holds no Qt objects between calls, so it may outlive the application object. Not
// thread-safe: one instance per thread.
class TextMaskCache {
public:
    struct Mask {
        const std::uint8_t* bits = nullptr;  // width x height bytes, rows width apart
        int bottom = 0;                      // as RenderTextMask returns it
    };

    // The mask of `text` in a width x height band. The bits stay valid until the next call.
    // Width or height below 1 gives no bits, only the bottom.
    Mask Render(std::string_view text, int width, int height);

    // Cells held, and their bytes; for tests of the cache's bounds.
    std::size_t CellCount() const { return cells_.size(); }
    std::size_t CellBytes() const { return cellBytes_; }

private:
    // One glyph at one pen position: its lit pixels as one bit each, rows padded to whole
    // bytes, with its first column and row in the band.
    struct Cell {
        int left = 0;
        int top = 0;
        int columns = 0;
        int rows = 0;
        std::vector<std::uint8_t> bits;
    };
    struct CellKey {
        std::uint32_t glyph;
        double pen;  // pen column of the glyph in the line
        bool operator==(const CellKey&) const = default;
    };
    struct CellKeyHash {
        std::size_t operator()(const CellKey& key) const;
    };

    static Cell PaintCell(glyphraster::GlyphSurface& surface, std::uint32_t glyph,
                          const QPointF& position, int from, int to, int height,
                          std::vector<std::uint8_t>& window);
    // False if some glyph is missing from the mask for want of memory.
    bool Compose(std::string_view text, int width, int height);
    void UseBandHeight(int height);
    void StoreCell(const CellKey& key, Cell cell);

    // Key of the kept mask.
    std::string text_;
    int width_ = 0;
    int height_ = 0;
    bool valid_ = false;
    std::vector<std::uint8_t> mask_;
    int bottom_ = 0;

    // Cells of one band height only.
    int cellHeight_ = 0;
    std::unordered_map<CellKey, Cell, CellKeyHash> cells_;
    std::size_t cellBytes_ = 0;

    bool warnedNoApplication_ = false;
};
