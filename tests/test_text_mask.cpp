// The one-bit text mask: two values, position, size, clipping and fixed pitch of the line.
#include "platform/text/TextMask.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Mask {
    int width = 0;
    int height = 0;
    int bottom = 0;
    std::vector<std::uint8_t> bits;

    // Extent of the lit pixels; all -1 when none is lit.
    int firstRow = -1, lastRow = -1, firstColumn = -1, lastColumn = -1;
    int lit = 0;
};

Mask Render(const std::string& text, int width, int height, std::uint8_t fill = 0xA5) {
    Mask m;
    m.width = width;
    m.height = height;
    m.bits.assign(static_cast<std::size_t>(width) * height, fill);
    m.bottom = RenderTextMask(text, width, height, m.bits.data());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (m.bits[y * width + x] == 1) {
                ++m.lit;
                if (m.firstRow < 0) m.firstRow = y;
                m.lastRow = y;
                m.firstColumn = m.firstColumn < 0 ? x : std::min(m.firstColumn, x);
                m.lastColumn = std::max(m.lastColumn, x);
            }
        }
    }
    return m;
}

const std::string kLine = "21h05m07sMarch04,2026JST";

TEST(TextMask, OnlyZeroAndOneWithTextLitAtEveryBandHeight) {
    // Both sides of the size where Qt stops drawing glyphs from bitmaps and fills outlines.
    for (const int height : {12, 14, 24, 28, 54, 64, 65, 108}) {
        SCOPED_TRACE(height);
        const Mask m = Render(kLine, 40 * height, height);
        for (const std::uint8_t bit : m.bits) {
            ASSERT_LE(bit, 1) << "value " << int(bit) << " in the mask";
        }
        // A glyph line covers a fair part of the text box, far from all of it.
        const int box = (m.lastColumn + 1) * height;
        EXPECT_GT(m.lit, box / 20);
        EXPECT_LT(m.lit, box / 2);
    }
}

TEST(TextMask, LineIsLeftAlignedAndCentredAtCharacterHeight) {
    for (const int height : {12, 24, 28, 54, 108}) {
        SCOPED_TRACE(height);
        // Digits reach from the baseline to about three quarters of the em height.
        const Mask m = Render("8808", 10 * height, height);
        ASSERT_GT(m.lit, 0);
        EXPECT_LE(m.firstColumn, height / 6 + 1);
        const int glyphRows = m.lastRow - m.firstRow + 1;
        EXPECT_GE(glyphRows, height * 55 / 100);
        EXPECT_LE(glyphRows, height * 90 / 100 + 1);
        // Centred: the digits' middle lies near the middle of the band.
        const double middle = (m.firstRow + m.lastRow + 1) / 2.0;
        EXPECT_NEAR(middle, height / 2.0, height * 0.15 + 1);
        // The line box is taller than the em height and centred: its bottom lies between the
        // last row of digits and one line below the top.
        EXPECT_GT(m.bottom, m.lastRow);
        EXPECT_LE(m.bottom, height + height / 2);
    }
}

TEST(TextMask, FixedPitchLineEndsWhereItsCharacterCountSays) {
    const int height = 24;
    const Mask narrow = Render("iiiiiiiiiM", 600, height);
    const Mask wide = Render("MMMMMMMMMM", 600, height);
    const Mask half = Render("MMMMM", 600, height);
    ASSERT_GT(narrow.lit, 0);
    ASSERT_GT(wide.lit, 0);
    // Narrow letters take a full cell, so both lines end within the last cell's width.
    EXPECT_NEAR(narrow.lastColumn, wide.lastColumn, height * 2 / 3);
    // Ten cells are twice five cells.
    EXPECT_NEAR(wide.lastColumn + 1, 2 * (half.lastColumn + 1), height / 2);
    // Nothing is lit beyond the text: a cell is narrower than the character height.
    EXPECT_LT(wide.lastColumn, 10 * height);
}

TEST(TextMask, LongLineIsCutAtTheRightEdge) {
    const int height = 28;
    const Mask full = Render(kLine, 2000, height);
    ASSERT_GT(full.lastColumn, 150);
    const int cut = 150;
    const Mask clipped = Render(kLine, cut, height);
    ASSERT_GT(clipped.lit, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < cut; ++x) {
            ASSERT_EQ(clipped.bits[y * cut + x], full.bits[y * 2000 + x])
                << "row " << y << " column " << x;
        }
    }
    EXPECT_EQ(clipped.bottom, full.bottom);
}

TEST(TextMask, SameLineSameMaskWhateverTheBufferHeld) {
    const Mask a = Render(kLine, 500, 20, 0x00);
    const Mask b = Render(kLine, 500, 20, 0xFF);
    const Mask c = Render(kLine, 500, 20, 0x01);
    EXPECT_EQ(a.bits, b.bits);
    EXPECT_EQ(a.bits, c.bits);
    EXPECT_EQ(a.bottom, b.bottom);
    // Past the text the whole band is background.
    for (int y = 0; y < 20; ++y) {
        for (int x = a.lastColumn + 1; x < 500; ++x) {
            ASSERT_EQ(a.bits[y * 500 + x], 0);
        }
    }
}

// The glyphs are placed by hand at the font's advances; Qt's own line layout of the same
// font, drawn without antialiasing at the same baseline, must give the same pixels.
TEST(TextMask, GlyphsSitWhereQtsOwnLayoutPutsThem) {
    for (const int height : {12, 24, 54, 80}) {
        SCOPED_TRACE(height);
        const int width = 30 * height;
        const Mask m = Render(kLine, width, height);

        const QFont font = StampFont(height);
        const QFontMetrics metrics(font);
        QImage reference(width, height, QImage::Format_RGB32);
        reference.fill(Qt::black);
        {
            QPainter painter(&reference);
            painter.setFont(font);
            painter.setPen(Qt::white);
            painter.drawText(
                QPoint(0, (height - metrics.height()) / 2 + metrics.ascent()),
                QString::fromStdString(kLine));
        }
        EXPECT_EQ(m.bottom, (height - metrics.height()) / 2 + metrics.height());
        int differing = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int expected = qGreen(reference.pixel(x, y)) >= 128 ? 1 : 0;
                differing += m.bits[y * width + x] != expected;
            }
        }
        EXPECT_EQ(differing, 0) << "of " << m.lit << " lit pixels";
    }
}

TEST(TextMask, MeasuringAloneGivesTheDrawnBottom) {
    for (const int height : {12, 30, 100}) {
        SCOPED_TRACE(height);
        const Mask drawn = Render(kLine, 800, height);
        EXPECT_EQ(RenderTextMask(kLine, 0, height, nullptr), drawn.bottom);
        EXPECT_EQ(RenderTextMask("other text", 800, height, nullptr), drawn.bottom);
    }
    EXPECT_EQ(RenderTextMask(kLine, 10, 0, nullptr), 0);
}

}  // namespace
