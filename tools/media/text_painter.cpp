// text_painter.cpp - labels and captions through libavfilter's drawtext.
#include "tools/media/text_painter.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace tarvotool {

namespace {

std::string FindFont() {
    static const char* const kFonts[] = {
        "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
        "/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf",
        "/usr/share/fonts/truetype/freefont/FreeMono.ttf",
        "/usr/local/share/fonts/DejaVuSansMono.ttf",
        "/Library/Fonts/Arial.ttf",
    };
    std::error_code ec;
    for (const char* f : kFonts)
        if (std::filesystem::exists(f, ec)) return f;
    return "";
}

}  // namespace

struct TextPainter::Impl {
    AVFilterGraph* graph = nullptr;
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    AVFrame* in = nullptr;
    AVFrame* out = nullptr;
    int width = 0, height = 0;
    int64_t pts = 0;
    bool ok = false;
    std::string font;

    ~Impl() {
        av_frame_free(&in);
        av_frame_free(&out);
        avfilter_graph_free(&graph);
    }

    AVFilterContext* addText(const std::string& name, const std::string& text, bool expand, int x, int y,
                             const std::string& font, int size) {
        const AVFilter* f = avfilter_get_by_name("drawtext");
        if (!f) return nullptr;
        AVFilterContext* c = avfilter_graph_alloc_filter(graph, f, name.c_str());
        if (!c) return nullptr;
        if (!font.empty()) av_opt_set(c, "fontfile", font.c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "text", text.c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "expansion", expand ? "normal" : "none", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "fontcolor", "white", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "fontsize", std::to_string(size).c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "box", "1", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "boxcolor", "black@0.6", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "boxborderw", "3", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "x", std::to_string(x).c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "y", std::to_string(y).c_str(), AV_OPT_SEARCH_CHILDREN);
        if (avfilter_init_str(c, nullptr) < 0) return nullptr;
        return c;
    }

    bool build(const std::vector<TextLabel>& labels) {
        graph = avfilter_graph_alloc();
        if (!graph) return false;
        const std::string args = "video_size=" + std::to_string(width) + "x" + std::to_string(height) +
                                 ":pix_fmt=" + std::to_string(static_cast<int>(AV_PIX_FMT_BGR24)) +
                                 ":time_base=1/25:pixel_aspect=1/1";
        if (avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args.c_str(), nullptr, graph) < 0)
            return false;
        if (avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph) < 0)
            return false;
        font = FindFont();
        const int size = std::max(10, height / 40);
        AVFilterContext* last = src;
        AVFilterContext* caption = addText("caption", "%{metadata:caption}", true, 6, 6, font, size);
        if (!caption || avfilter_link(last, 0, caption, 0) < 0) return false;
        last = caption;
        int i = 0;
        for (const TextLabel& l : labels) {
            AVFilterContext* c = addText("label" + std::to_string(i++), l.text, false, l.x, l.y, font, size);
            if (!c || avfilter_link(last, 0, c, 0) < 0) return false;
            last = c;
        }
        if (avfilter_link(last, 0, sink, 0) < 0) return false;
        if (avfilter_graph_config(graph, nullptr) < 0) return false;
        in = av_frame_alloc();
        out = av_frame_alloc();
        return in && out;
    }
};

TextPainter::TextPainter(int width, int height, const std::vector<TextLabel>& labels) : impl_(new Impl) {
    impl_->width = width;
    impl_->height = height;
    impl_->ok = impl_->build(labels);
}

TextPainter::~TextPainter() = default;

bool TextPainter::ok() const { return impl_->ok; }
const std::string& TextPainter::font() const { return impl_->font; }

bool TextPainter::FontCovers(const std::string& text) {
    // Decodes UTF-8 just far enough to find code points beyond Cyrillic
    // (U+0530 on); bytes that are no valid UTF-8 count as not covered.
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            const unsigned cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            if (cp >= 0x530) return false;
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

void TextPainter::paint(BgrImage& img, const std::string& caption) {
    Impl& m = *impl_;
    if (!m.ok || img.width != m.width || img.height != m.height) return;
    m.in->format = AV_PIX_FMT_BGR24;
    m.in->width = img.width;
    m.in->height = img.height;
    if (av_frame_get_buffer(m.in, 0) < 0) return;
    for (int y = 0; y < img.height; ++y)
        std::memcpy(m.in->data[0] + static_cast<std::ptrdiff_t>(y) * m.in->linesize[0], img.row(y),
                    static_cast<std::size_t>(img.width) * 3);
    av_dict_set(&m.in->metadata, "caption", caption.c_str(), 0);
    m.in->pts = m.pts++;
    if (av_buffersrc_add_frame(m.src, m.in) < 0) {
        av_frame_unref(m.in);
        return;
    }
    if (av_buffersink_get_frame(m.sink, m.out) < 0) return;
    for (int y = 0; y < img.height; ++y)
        std::memcpy(img.row(y), m.out->data[0] + static_cast<std::ptrdiff_t>(y) * m.out->linesize[0],
                    static_cast<std::size_t>(img.width) * 3);
    av_frame_unref(m.out);
}

}  // namespace tarvotool
