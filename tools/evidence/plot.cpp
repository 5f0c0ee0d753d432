// plot.cpp - `tarvocoil plot`: traces drawn with cairo.
#include "tools/evidence/plot.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "host/errors.h"
#include "tools/evidence/replay.h"
#include "tools/evidence/trace.h"

namespace tarvotool {

using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

namespace {

constexpr double kHeader = 34, kLeft = 64, kRightMargin = 16;
constexpr int kPanelDefault = 250, kPanelMin = 130, kMaxSide = kMaxPlotSide;

// Ratio of a sum to its limit: 1.0 where the comparison flips. NaN where
// there is no limit; infinite where every sum exceeds it.
double LimitRatio(int64_t sum, const LimitValue& limit) {
    switch (limit.state) {
        case LimitValue::State::NotANumber: return NAN;
        case LimitValue::State::SaturatedHigh: return 0.0;
        case LimitValue::State::SaturatedLow: return INFINITY;
        case LimitValue::State::Value: break;
    }
    if (limit.value > 0) return static_cast<double>(sum) / static_cast<double>(limit.value);
    return sum > limit.value ? INFINITY : 0.0;
}

std::vector<int64_t> TriggerFrames(const PlotArea& a) {
    std::vector<int64_t> out;
    for (const PlotFrame& f : a.frames)
        if (f.m.kind == AreaMeasurement::Kind::Detect && f.m.result != 0) out.push_back(f.frame);
    std::sort(out.begin(), out.end());
    return out;
}

// Seconds of a frame index, from the area's frames (interpolated between
// two of them); NaN outside the trace.
double TimeOf(const PlotArea& a, int64_t frame) {
    const auto at = std::lower_bound(a.frames.begin(), a.frames.end(), frame,
                                     [](const PlotFrame& f, int64_t v) { return f.frame < v; });
    if (at == a.frames.end()) return NAN;
    if (at->frame == frame) return at->time;
    if (at == a.frames.begin()) return NAN;
    const PlotFrame& p = *(at - 1);
    return p.time + (at->time - p.time) * static_cast<double>(frame - p.frame) / static_cast<double>(at->frame - p.frame);
}

// Nearest frame to a time, for the axis labels.
int64_t FrameAt(const PlotArea& a, double t) {
    const auto at = std::lower_bound(a.frames.begin(), a.frames.end(), t,
                                     [](const PlotFrame& f, double v) { return f.time < v; });
    if (at == a.frames.end()) return a.frames.back().frame;
    if (at != a.frames.begin() && t - (at - 1)->time < at->time - t) return (at - 1)->frame;
    return at->frame;
}

void SetColour(cairo_t* cr, uint32_t rgb, double alpha = 1.0) {
    cairo_set_source_rgba(cr, ((rgb >> 16) & 255) / 255.0, ((rgb >> 8) & 255) / 255.0, (rgb & 255) / 255.0, alpha);
}

void Text(cairo_t* cr, double x, double y, const std::string& s, double size, uint32_t rgb, int align = 0) {
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    const double dx = align == 0 ? 0 : align == 1 ? -e.x_advance / 2 : -e.x_advance;
    SetColour(cr, rgb);
    cairo_move_to(cr, x + dx, y);
    cairo_show_text(cr, s.c_str());
}

// A mark 3 pixels wide centred on the pixel column of x, pixel-aligned so
// that its middle pixel carries exactly its colour.
void Mark(cairo_t* cr, double x, double row, double half, uint32_t rgb) {
    const double px = std::floor(x);
    SetColour(cr, rgb);
    cairo_rectangle(cr, px - 1, std::floor(row - half), 3, std::ceil(2 * half) + 1);
    cairo_fill(cr);
}

std::string TickLabel(double t, double span) {
    char buf[32];
    if (std::fabs(t) < 1e-9) t = 0.0;  // no "-0 s"
    if (span < 120) {
        std::snprintf(buf, sizeof buf, "%g s", std::round(t * 100) / 100);
    } else {
        const long s = std::lround(t);
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

const char* Plural(int n, const char* one, const char* many) { return n == 1 ? one : many; }

// Curves of one area: one line, broken where a frame has no value.
void Curve(cairo_t* cr, const PlotLayout& L, const PlotLayout::Panel& P, const PlotArea& a, bool presence) {
    bool open = false;
    for (const PlotFrame& f : a.frames) {
        double v = NAN;
        if (f.m.kind == AreaMeasurement::Kind::Detect)
            v = presence ? LimitRatio(f.m.bgDiffSum, f.m.presenceLimit) : LimitRatio(f.m.prevDiffSum, f.m.stillLimit);
        if (std::isnan(v)) {
            open = false;
            continue;
        }
        const double x = L.x(f.time), y = L.y(P, std::min(v, P.yMax * 1.02));
        if (open)
            cairo_line_to(cr, x, y);
        else
            cairo_move_to(cr, x, y);
        open = true;
    }
    cairo_stroke(cr);
}

}  // namespace

void PlotData::add(int area, const std::string& name, int64_t frame, double time, const AreaMeasurement& m) {
    if (area < 0) throw ToolError("internal error: negative area index");
    if (static_cast<std::size_t>(area) >= areas.size()) areas.resize(static_cast<std::size_t>(area) + 1);
    PlotArea& a = areas[static_cast<std::size_t>(area)];
    if (a.name.empty()) a.name = name;
    a.frames.push_back(PlotFrame{frame, time, m});
}

void PlotData::add(int64_t frame, double time, const std::vector<AreaMeasurement>& all,
                   const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < all.size(); ++i)
        add(static_cast<int>(i), i < names.size() ? names[i] : "area " + std::to_string(i), frame, time, all[i]);
}

void Rethreshold(PlotData& data, const std::vector<float>& thresholds) {
    for (std::size_t a = 0; a < data.areas.size() && a < thresholds.size(); ++a) {
        bool was = false;
        for (PlotFrame& f : data.areas[a].frames) {
            AreaMeasurement& m = f.m;
            if (m.kind != AreaMeasurement::Kind::Detect) {
                was = false;
                continue;
            }
            m.presenceLimit = PresenceLimit(m.referenceGrey, m.sampleCount, thresholds[a]);
            m.present = tarvocoil::exceeds(m.bgDiffSum, m.presenceLimit);
            m.result = m.present && !was ? 1 : 0;
            was = m.present;
        }
        char buf[48];
        std::snprintf(buf, sizeof buf, "threshold %g", static_cast<double>(thresholds[a]));
        data.areas[a].note = buf;
    }
}

void AddTruth(PlotData& data, const std::vector<TruthEntry>& truth, MatchWindow window) {
    data.haveTruth = true;
    data.window = window;
    for (std::size_t a = 0; a < data.areas.size(); ++a) data.areas[a].truth = TruthFrames(truth, static_cast<int>(a));
}

double PlotLayout::x(double seconds) const { return left + (seconds - t0) / (t1 - t0) * (right - left); }

double PlotLayout::y(const Panel& p, double ratio) const {
    return p.bottom - std::max(0.0, ratio) / p.yMax * (p.bottom - p.top);
}

PlotLayout LayoutPlot(const PlotData& data, const PlotOptions& o) {
    const int panels = std::max<int>(1, static_cast<int>(data.areas.size()));
    PlotLayout L;
    L.width = o.width;
    L.height = o.height > 0 ? o.height : std::min(kMaxSide, static_cast<int>(kHeader) + 56 + kPanelDefault * panels);
    if (L.width < 300 || L.width > kMaxSide) throw ToolError("plot width: expected 300.." + std::to_string(kMaxSide) + " pixels");
    const int need = static_cast<int>(kHeader) + 10 + kPanelMin * panels;
    if (L.height < need || L.height > kMaxSide)
        throw ToolError(need > kMaxSide ? "plot: " + std::to_string(panels) + " areas do not fit in one picture (at most " +
                                              std::to_string((kMaxSide - static_cast<int>(kHeader) - 10) / kPanelMin) + ")"
                                        : "plot height: expected " + std::to_string(need) + ".." +
                                              std::to_string(kMaxSide) + " pixels for " + std::to_string(panels) +
                                              " panels");
    L.left = kLeft;
    L.right = L.width - kRightMargin;
    bool any = false;
    for (const PlotArea& a : data.areas)
        for (const PlotFrame& f : a.frames) {
            if (!any || f.time < L.t0) L.t0 = f.time;
            if (!any || f.time > L.t1) L.t1 = f.time;
            any = true;
        }
    if (!any) L.t0 = 0, L.t1 = 1;
    if (L.t1 <= L.t0) L.t1 = L.t0 + 1;
    const double ph = (L.height - kHeader - 10) / panels;
    for (int i = 0; i < panels; ++i) {
        PlotLayout::Panel p;
        const double top = kHeader + i * ph;
        p.top = top + 22;
        p.bottom = top + ph - 72;
        p.markHalf = 4;
        p.triggerRow = p.bottom + 10;
        p.refreshRow = p.triggerRow + 11;
        p.truthRow = p.refreshRow + 11;
        double peak = 0;
        if (i < static_cast<int>(data.areas.size()))
            for (const PlotFrame& f : data.areas[i].frames)
                if (f.m.kind == AreaMeasurement::Kind::Detect) {
                    const double v = LimitRatio(f.m.bgDiffSum, f.m.presenceLimit);
                    if (std::isfinite(v)) peak = std::max(peak, v);
                }
        p.yMax = peak <= 1.8 ? 2.0 : std::min(8.0, std::ceil(peak * 1.1));
        L.panels.push_back(p);
    }
    return L;
}

namespace {

// The title, and a legend of the colours after it.
void DrawTitleAndLegend(cairo_t* cr, const PlotData& data) {
    Text(cr, 10, 21, data.title, 14, 0x000000);
    cairo_set_font_size(cr, 14);
    cairo_text_extents_t te;
    cairo_text_extents(cr, data.title.c_str(), &te);
    double lx = std::max(10 + te.x_advance + 24, 200.0);
    auto legend = [&](uint32_t rgb, const std::string& label, bool line) {
        SetColour(cr, rgb);
        if (line)
            cairo_rectangle(cr, lx, 15, 16, 2);
        else
            cairo_rectangle(cr, lx + 6, 10, 3, 11);
        cairo_fill(cr);
        Text(cr, lx + 20, 20, label, 11, 0x333333);
        cairo_set_font_size(cr, 11);
        cairo_text_extents_t e;
        cairo_text_extents(cr, label.c_str(), &e);
        lx += 20 + e.x_advance + 14;
    };
    legend(0x1f77b4, "bgDiffSum / presence limit", true);
    legend(0xa0a0a0, "prevDiffSum / still limit", true);
    if (data.haveTruth) {
        legend(kPlotHit, "hit", false);
        legend(kPlotFalse, "false trigger", false);
        legend(kPlotMiss, "missed passage", false);
    } else {
        legend(kPlotTrigger, "trigger", false);
    }
    legend(kPlotCopy, "background copied", false);
    legend(kPlotExchange, "refresh refused", false);
}

// Seconds between time ticks: at least ~90 pixels apart.
double TimeStep(const PlotLayout& L) {
    const double span = L.t1 - L.t0;
    const double steps[] = {0.04, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 21600, 86400};
    double step = steps[sizeof steps / sizeof steps[0] - 1];
    for (double s : steps)
        if (s / span * (L.right - L.left) >= 90) {
            step = s;
            break;
        }
    return step;
}

// The line above a panel: the area, and its counts of triggers, hits and
// refreshes.
void DrawPanelCaption(cairo_t* cr, const PlotLayout& L, const PlotLayout::Panel& P, std::size_t i, const PlotArea* a,
                      const std::vector<int64_t>& triggers, const AreaMatch& match, bool haveTruth) {
    int copies = 0, exchanges = 0;
    if (a)
        for (const PlotFrame& f : a->frames) {
            copies += f.m.refresh == AreaMeasurement::Refresh::Copy;
            exchanges += f.m.refresh == AreaMeasurement::Refresh::Exchange;
        }
    std::string caption = a ? "area " + std::to_string(i) + " \"" + a->name + "\"" : "no areas";
    if (a && !a->note.empty()) caption += "  " + a->note;
    char counts[200] = "";
    if (a) {
        const int n = static_cast<int>(triggers.size());
        if (haveTruth)
            std::snprintf(counts, sizeof counts, "    %d %s: %d %s, %d false; %d %s; %d copies, %d refused", n,
                          Plural(n, "trigger", "triggers"), match.hits, Plural(match.hits, "hit", "hits"),
                          match.falses, match.misses, Plural(match.misses, "miss", "misses"), copies, exchanges);
        else
            std::snprintf(counts, sizeof counts, "    %d %s; %d copies, %d refused", n,
                          Plural(n, "trigger", "triggers"), copies, exchanges);
    }
    Text(cr, L.left, P.top - 7, caption + counts, 12, 0x000000);
}

// A panel's frame, grid and the 1.0 line, with the labels of its axes and
// rows.
void DrawPanelFrame(cairo_t* cr, const PlotLayout& L, const PlotLayout::Panel& P, const PlotArea* a, double step,
                    bool haveTruth) {
    SetColour(cr, 0xf7f7f7);
    cairo_rectangle(cr, L.left, P.top, L.right - L.left, P.bottom - P.top);
    cairo_fill(cr);
    cairo_set_line_width(cr, 1);
    const double ystep = P.yMax <= 2 ? 0.5 : 1.0;
    for (double v = 0; v <= P.yMax + 1e-9; v += ystep) {
        const double y = std::round(L.y(P, v)) + 0.5;
        SetColour(cr, 0xdddddd);
        cairo_move_to(cr, L.left, y);
        cairo_line_to(cr, L.right, y);
        cairo_stroke(cr);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%.1f", v);
        Text(cr, L.left - 6, y + 4, buf, 10, 0x555555, 2);
    }
    const double first = std::ceil(L.t0 / step - 1e-9) * step;
    for (double t = first; t <= L.t1 + 1e-9; t += step) {
        const double x = std::round(L.x(t)) + 0.5;
        SetColour(cr, 0xe4e4e4);
        cairo_move_to(cr, x, P.top);
        cairo_line_to(cr, x, P.bottom);
        cairo_stroke(cr);
        Text(cr, x, P.truthRow + 19, TickLabel(t, L.t1), 10, 0x555555, 1);
        if (a && !a->frames.empty())
            Text(cr, x, P.truthRow + 31, "frame " + std::to_string(FrameAt(*a, t)), 9, 0x888888, 1);
    }
    const double y1 = std::round(L.y(P, 1.0)) + 0.5;
    const double dash[] = {6, 4};
    cairo_set_dash(cr, dash, 2, 0);
    SetColour(cr, 0x000000);
    cairo_move_to(cr, L.left, y1);
    cairo_line_to(cr, L.right, y1);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    Text(cr, 6, P.top + 10, "ratio", 10, 0x555555);
    Text(cr, 6, P.triggerRow + 4, "trigger", 9, 0x555555);
    Text(cr, 6, P.refreshRow + 4, "refresh", 9, 0x555555);
    if (haveTruth) Text(cr, 6, P.truthRow + 4, "truth", 9, 0x555555);
}

// Both curves of an area, clipped to the panel.
void DrawCurves(cairo_t* cr, const PlotLayout& L, const PlotLayout::Panel& P, const PlotArea& a) {
    cairo_save(cr);
    cairo_rectangle(cr, L.left, P.top, L.right - L.left, P.bottom - P.top);
    cairo_clip(cr);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    SetColour(cr, 0xa0a0a0);
    cairo_set_line_width(cr, 1);
    Curve(cr, L, P, a, false);
    SetColour(cr, 0x1f77b4);
    cairo_set_line_width(cr, 1.5);
    Curve(cr, L, P, a, true);
    cairo_restore(cr);
}

// The marks of triggers, refreshes and true passages in their rows below
// the panel.
void DrawMarks(cairo_t* cr, const PlotLayout& L, const PlotLayout::Panel& P, const PlotArea& a,
               const std::vector<int64_t>& triggers, const AreaMatch& match, bool haveTruth) {
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    for (std::size_t k = 0; k < triggers.size(); ++k) {
        const double t = TimeOf(a, triggers[k]);
        const uint32_t c = !haveTruth ? kPlotTrigger : match.triggerTaken[k] ? kPlotHit : kPlotFalse;
        SetColour(cr, c, 0.35);
        cairo_rectangle(cr, std::floor(L.x(t)), P.top, 1, P.bottom - P.top);
        cairo_fill(cr);
        Mark(cr, L.x(t), P.triggerRow, P.markHalf, c);
    }
    for (const PlotFrame& f : a.frames)
        if (f.m.refresh != AreaMeasurement::Refresh::None)
            Mark(cr, L.x(f.time), P.refreshRow, P.markHalf,
                 f.m.refresh == AreaMeasurement::Refresh::Copy ? kPlotCopy : kPlotExchange);
    for (std::size_t k = 0; k < a.truth.size(); ++k) {
        const double t = TimeOf(a, a.truth[k]);
        if (std::isnan(t)) continue;
        Mark(cr, L.x(t), P.truthRow, P.markHalf, match.matched[k] >= 0 ? kPlotHit : kPlotMiss);
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
}

// Panel i: area i, or an empty frame when there are no areas.
void DrawPanel(cairo_t* cr, const PlotLayout& L, std::size_t i, const PlotData& data, double step) {
    const PlotLayout::Panel& P = L.panels[i];
    const PlotArea* a = i < data.areas.size() ? &data.areas[i] : nullptr;
    const std::vector<int64_t> triggers = a ? TriggerFrames(*a) : std::vector<int64_t>{};
    const AreaMatch match = a ? MatchArea(a->truth, triggers, data.window) : AreaMatch{};
    DrawPanelCaption(cr, L, P, i, a, triggers, match, data.haveTruth);
    DrawPanelFrame(cr, L, P, a, step, data.haveTruth);
    if (!a) return;
    DrawCurves(cr, L, P, *a);
    DrawMarks(cr, L, P, *a, triggers, match, data.haveTruth);
}

}  // namespace

void WritePlot(const std::string& path, const PlotData& data, const PlotOptions& options) {
    const std::string ext = std::filesystem::path(path).extension().string();
    const bool svg = ext == ".svg";
    if (!svg && ext != ".png") throw ToolError("cannot write plot '" + path + "': expected a .png or .svg file");
    const PlotLayout L = LayoutPlot(data, options);
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        svg ? cairo_svg_surface_create(path.c_str(), L.width, L.height)
            : cairo_image_surface_create(CAIRO_FORMAT_RGB24, L.width, L.height),
        &cairo_surface_destroy);
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        throw ToolError("cannot write plot '" + path + "': " + cairo_status_to_string(cairo_surface_status(surface.get())));
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> ctx(cairo_create(surface.get()), &cairo_destroy);
    cairo_t* cr = ctx.get();
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    SetColour(cr, 0xffffff);
    cairo_paint(cr);

    DrawTitleAndLegend(cr, data);
    const double step = TimeStep(L);
    for (std::size_t i = 0; i < L.panels.size(); ++i) DrawPanel(cr, L, i, data, step);

    cairo_status_t st = cairo_status(cr);
    if (st == CAIRO_STATUS_SUCCESS && !svg) st = cairo_surface_write_to_png(surface.get(), path.c_str());
    ctx.reset();
    cairo_surface_finish(surface.get());
    if (st == CAIRO_STATUS_SUCCESS) st = cairo_surface_status(surface.get());
    if (st != CAIRO_STATUS_SUCCESS) {
        const std::string why = st == CAIRO_STATUS_WRITE_ERROR && errno ? std::strerror(errno) : cairo_status_to_string(st);
        throw ToolError("cannot write plot '" + path + "': " + why);
    }
}

void CheckPlotPath(const std::string& path, std::size_t areas, const PlotOptions& options) {
    const std::string ext = std::filesystem::path(path).extension().string();
    if (ext != ".png" && ext != ".svg") throw ToolError("--plot: expected a .png or .svg file, got '" + path + "'");
    PlotData shape;
    shape.areas.resize(areas);
    LayoutPlot(shape, options);
}

PlotSink::PlotSink(std::string path, std::string title, std::vector<std::string> names, PlotOptions options)
    : path_(std::move(path)), names_(std::move(names)), options_(options) {
    data_.title = std::move(title);
}

void PlotSink::frame(const ProcessedFrame& f) {
    if (f.measurements) data_.add(f.index, f.time, *f.measurements, names_);
}

void PlotSink::finish() {
    if (written_) return;
    written_ = true;
    if (data_.areas.empty()) {
        Warn("no plot '" + path_ + "': the detector recorded no measurements");
        return;
    }
    WritePlot(path_, data_, options_);
}

int RunPlot(const PlotCommand& cmd) {
    PlotData data = ReadTrace(cmd.trace);
    if (!cmd.truth.empty()) {
        std::vector<std::string> names;
        for (const PlotArea& a : data.areas) names.push_back(a.name);
        AddTruth(data, LoadTruthFile(cmd.truth, names), MatchWindow{cmd.early, cmd.late});
    }
    WritePlot(cmd.out, data, cmd.options);
    return 0;
}

}  // namespace tarvotool
