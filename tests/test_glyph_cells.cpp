// The mask composed from glyph cells against the line drawn as one glyph run: the same bits
// for every character the stamp can hold, at every band height and cutting width tried.
#include "platform/text/TextMask.h"
#include "platform/text/TextMaskCache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",
                               "June",    "July",     "August",    "September", "October",
                               "November", "December"};

// Zone names of the system's zone database: the zones of tzdata.zi, or zone1970.tab's.
std::vector<std::string> ZoneNames() {
    std::vector<std::string> zones;
    std::ifstream compiled("/usr/share/zoneinfo/tzdata.zi");
    for (std::string line; std::getline(compiled, line);) {
        std::istringstream fields(line);
        std::string kind, name;
        if (fields >> kind >> name && kind == "Z") {
            zones.push_back(name);
        }
    }
    if (!zones.empty()) {
        return zones;
    }
    std::ifstream table("/usr/share/zoneinfo/zone1970.tab");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string codes, coordinates, name;
        if (line[0] != '#' && fields >> codes >> coordinates >> name) {
            zones.push_back(name);
        }
    }
    return zones;
}

// Every abbreviation the zones use in winter and in summer, read through the C library.
std::set<std::string> ZoneAbbreviations() {
    std::optional<std::string> saved;
    if (const char* zone = std::getenv("TZ")) {
        saved = zone;
    }
    std::set<std::string> names;
    for (const std::string& zone : ZoneNames()) {
        setenv("TZ", zone.c_str(), 1);
        tzset();
        for (const int year : {2000, 2026}) {
            for (const int month : {0, 6}) {
                std::tm utc{};
                utc.tm_year = year - 1900;
                utc.tm_mon = month;
                utc.tm_mday = 15;
                utc.tm_hour = 12;
                const std::time_t instant = timegm(&utc);
                std::tm local{};
                char name[64];
                if (localtime_r(&instant, &local) != nullptr &&
                    std::strftime(name, sizeof name, "%Z", &local) > 0) {
                    names.insert(name);
                }
            }
        }
        names.insert(tzname[0]);
        names.insert(tzname[1]);
    }
    if (saved) {
        setenv("TZ", saved->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    names.erase("");
    return names;
}

// The lines compared: a stamp for every zone abbreviation (months and digits varying), and
// a line of every character of all of them, rotated 64 times so that each character stands
// at many pen positions and so at many sub-pixel pen offsets.
std::vector<std::string> StampLines() {
    const std::set<std::string> zones = ZoneAbbreviations();
    std::vector<std::string> lines;
    std::set<char> characters(std::begin("0123456789hms,"), std::end("0123456789hms,") - 1);
    int n = 0;
    for (const std::string& zone : zones) {
        char stamp[96];
        std::snprintf(stamp, sizeof stamp, "%02dh%02dm%02ds%s%02d,%04d%s", n % 24, (n * 7) % 60,
                      (n * 13) % 60, kMonths[n % 12], 1 + n % 31, 1970 + n % 100, zone.c_str());
        lines.emplace_back(stamp);
        characters.insert(zone.begin(), zone.end());
        ++n;
    }
    for (const char* month : kMonths) {
        characters.insert(month, month + std::strlen(month));
    }
    const std::string all(characters.begin(), characters.end());
    for (int shift = 0; shift < 64; ++shift) {
        std::string line;
        for (std::size_t i = 0; i < all.size(); ++i) {
            line += all[(i + shift) % all.size()];
        }
        lines.push_back(line);
    }
    return lines;
}

struct Rendered {
    int bottom = 0;
    std::vector<std::uint8_t> bits;
};

Rendered Direct(const std::string& text, int width, int height) {
    Rendered r;
    r.bits.assign(static_cast<std::size_t>(width) * height, 0xA5);
    r.bottom = RenderTextMaskDirect(text, width, height, r.bits.data());
    return r;
}

// First differing pixel as "row r column c", or empty when the masks agree.
std::string FirstDifference(const std::uint8_t* cells, const std::vector<std::uint8_t>& direct,
                            int width) {
    for (std::size_t i = 0; i < direct.size(); ++i) {
        if (cells[i] != direct[i]) {
            return "row " + std::to_string(i / width) + " column " + std::to_string(i % width) +
                   ": cells " + std::to_string(cells[i]) + ", whole line " +
                   std::to_string(direct[i]);
        }
    }
    return {};
}

TEST(GlyphCells, SameBitsAsTheWholeLineForEveryStampCharacter) {
    const std::vector<std::string> lines = StampLines();
    // Some eighty abbreviations or more in any zone database of recent years, besides the
    // 64 rotated lines.
    ASSERT_GT(lines.size(), 64u + 60u);

    std::vector<int> heights = {12, 13, 24, 54, 108, 216};
    std::mt19937 random(20261209u);
    for (int i = 0; i < 6; ++i) {
        heights.push_back(std::uniform_int_distribution<int>(14, 215)(random));
    }
    TextMaskCache cache;
    for (const int height : heights) {
        SCOPED_TRACE(testing::Message() << "band height " << height);
        for (const std::string& line : lines) {
            SCOPED_TRACE(line);
            // Wide enough for the whole line, then cut through some glyph.
            const int full = static_cast<int>(line.size()) * height + 2 * height;
            const int cut = std::uniform_int_distribution<int>(1, full / 2)(random);
            for (const int width : {full, cut}) {
                SCOPED_TRACE(testing::Message() << "width " << width);
                const Rendered direct = Direct(line, width, height);
                const TextMaskCache::Mask cells = cache.Render(line, width, height);
                ASSERT_NE(cells.bits, nullptr);
                ASSERT_EQ(cells.bottom, direct.bottom);
                ASSERT_EQ(FirstDifference(cells.bits, direct.bits, width), "");
            }
        }
    }
}

// Widths at and around the edges of the first glyph, a line with nothing to draw, text the
// font lacks, and bands tall enough to be drawn whole.
TEST(GlyphCells, SameBitsForNarrowBandsOddTextAndTallBands) {
    struct Case {
        std::string text;
        int width;
        int height;
    };
    const Case cases[] = {
        {"21h05m07sMarch04,2026JST", 1, 12},  {"21h05m07sMarch04,2026JST", 2, 24},
        {"21h05m07sMarch04,2026JST", 7, 12},  {"21h05m07sMarch04,2026JST", 8, 13},
        {"21h05m07sMarch04,2026JST", 33, 54}, {"", 100, 24},
        {"  ", 100, 24},                      {"\xE2\x82\xAC\xC3\xA4?\x01", 200, 30},
        {"WWW", 4000, 600},                   {"00h00m00sMay01,2026UTC", 300, 700},
    };
    TextMaskCache cache;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << "\" " << c.width << "x" << c.height);
        const Rendered direct = Direct(c.text, c.width, c.height);
        const TextMaskCache::Mask cells = cache.Render(c.text, c.width, c.height);
        ASSERT_NE(cells.bits, nullptr);
        EXPECT_EQ(cells.bottom, direct.bottom);
        EXPECT_EQ(FirstDifference(cells.bits, direct.bits, c.width), "");
    }
}

TEST(GlyphCells, KeptMaskFollowsTextWidthAndHeight) {
    TextMaskCache cache;
    const std::string a = "12h00m00sJune01,2026CEST";
    const std::string b = "12h00m01sJune01,2026CEST";
    const struct Step {
        const std::string* text;
        int width;
        int height;
    } steps[] = {{&a, 500, 24}, {&a, 500, 24}, {&b, 500, 24}, {&a, 500, 24},
                 {&a, 120, 24}, {&a, 500, 25}, {&b, 500, 24}, {&b, 500, 24}};
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << *s.text << " " << s.width << "x" << s.height);
        const Rendered direct = Direct(*s.text, s.width, s.height);
        const TextMaskCache::Mask cells = cache.Render(*s.text, s.width, s.height);
        ASSERT_NE(cells.bits, nullptr);
        EXPECT_EQ(FirstDifference(cells.bits, direct.bits, s.width), "");
    }
    // Measuring alone gives the drawn bottom.
    EXPECT_EQ(cache.Render(a, 0, 24).bottom, Direct(a, 10, 24).bottom);
    EXPECT_EQ(cache.Render(a, 0, 0).bottom, 0);
    // A measure at another band height between two draws of the same line: the kept mask
    // still answers with its own height's bottom.
    ASSERT_NE(cache.Render(a, 500, 20).bits, nullptr);
    EXPECT_EQ(cache.Render(a, 0, 40).bottom, Direct(a, 10, 40).bottom);
    EXPECT_EQ(cache.Render(a, 500, 20).bottom, Direct(a, 500, 20).bottom);
}

TEST(GlyphCells, BandHeightChangeDropsTheOldCells) {
    const std::string line = "23h59m58sDecember31,2026AEDT";
    TextMaskCache fresh;
    fresh.Render(line, 1000, 54);
    const std::size_t cellsAt54 = fresh.CellCount();
    const std::size_t bytesAt54 = fresh.CellBytes();
    ASSERT_GT(cellsAt54, 10u);

    TextMaskCache cache;
    for (const int height : {12, 108, 216, 30}) {
        cache.Render(line, 1000, height);
        EXPECT_GT(cache.CellCount(), 0u);
    }
    // Only the cells of the band height in use remain: as many as a fresh cache makes.
    cache.Render(line, 1000, 54);
    EXPECT_EQ(cache.CellCount(), cellsAt54);
    EXPECT_EQ(cache.CellBytes(), bytesAt54);
    // The same line again makes no new cells; nor does a width that cuts it.
    cache.Render(line, 1000, 54);
    cache.Render(line, 200, 54);
    EXPECT_EQ(cache.CellCount(), cellsAt54);
}

// Through the cells, RenderTextMask writes every byte of the caller's mask.
TEST(GlyphCells, RenderTextMaskOverwritesTheWholeBuffer) {
    const std::string line = "07h08m09sAugust10,2026BST";
    for (const std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0x01}, std::uint8_t{0xFF}}) {
        std::vector<std::uint8_t> mask(400 * 20, fill);
        const int bottom = RenderTextMask(line, 400, 20, mask.data());
        const Rendered direct = Direct(line, 400, 20);
        EXPECT_EQ(bottom, direct.bottom);
        EXPECT_EQ(mask, direct.bits);
    }
}

}  // namespace
