// One line of text rasterised by QtGui into a 0/1 byte mask.
#include "platform/text/TextMask.h"

#include "platform/text/GlyphRaster.h"
#include "platform/text/TextMaskCache.h"

#include <QFont>
#include <QGuiApplication>
#include <QList>
#include <QLoggingCategory>
#include <QPointF>
#include <QString>

#include <algorithm>
#include <cstring>

Q_LOGGING_CATEGORY(lcTextMask, "brisolt.text")

namespace {

// Glyphs of a taller line are drawn at this pixel size: beyond it the font engine would
// build outlines and bitmaps of many megabytes for a frame tens of thousands of rows high.
constexpr int kMaxPixelSize = 2048;

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
    thread_local TextMaskCache cache;
    const bool drawing = mask != nullptr && width > 0;
    const TextMaskCache::Mask composed = cache.Render(text, drawing ? width : 0, height);
    if (drawing && composed.bits != nullptr) {
        std::memcpy(mask, composed.bits,
                    static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    }
    return composed.bottom;
}

int RenderTextMaskDirect(std::string_view text, int width, int height, std::uint8_t* mask) {
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

    const glyphraster::LineFace face = glyphraster::FaceForHeight(height);
    if (!drawing) {
        return face.bottom;
    }

    const glyphraster::LineLayout layout = glyphraster::LayOutLine(
        face, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), width);
    const QList<quint32>& glyphs = layout.glyphs;
    const QList<QPointF>& positions = layout.positions;
    const int paintWidth = layout.paintWidth;
    if (!glyphraster::PaintGlyphs(face, glyphs, positions, paintWidth, height, mask,
                                  static_cast<std::size_t>(width))) {
        clearMask();
        return face.bottom;
    }
    for (int y = 0; y < height; ++y) {
        std::memset(mask + static_cast<std::size_t>(y) * width + paintWidth, 0,
                    static_cast<std::size_t>(width - paintWidth));
    }
    return face.bottom;
}
