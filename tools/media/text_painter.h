// text_painter.h - text on BGR pictures through libavfilter's drawtext.
#ifndef TARVOCOIL_TOOLS_MEDIA_TEXT_PAINTER_H
#define TARVOCOIL_TOOLS_MEDIA_TEXT_PAINTER_H

#include <memory>
#include <string>
#include <vector>

#include "host/canvas.h"

namespace tarvotool {

struct TextLabel {
    std::string text;
    int x = 0;
    int y = 0;
};

class TextPainter {
public:
    // Static labels are drawn on every picture; the caption given to paint()
    // goes to the top-left corner.
    TextPainter(int width, int height, const std::vector<TextLabel>& labels);
    ~TextPainter();
    TextPainter(const TextPainter&) = delete;
    TextPainter& operator=(const TextPainter&) = delete;

    // False when drawtext or a font is missing; paint() then does nothing.
    bool ok() const;
    // The font file in use (empty when none was found).
    const std::string& font() const;
    void paint(BgrImage& image, const std::string& caption);

    // Whether the font can show every character of `text`: the font files
    // the tool looks for cover Latin, Greek and Cyrillic; other scripts
    // come out as boxes.
    static bool FontCovers(const std::string& text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvotool

#endif
