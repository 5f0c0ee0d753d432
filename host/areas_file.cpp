// areas_file.cpp - reading and checking the areas file.
#include "host/areas_file.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <sstream>

#include "host/canvas.h"
#include "host/errors.h"
#include "host/input_file.h"
#include "host/json_text.h"

namespace tarvotool {

using nlohmann::json;

namespace {

class Checker {
public:
    explicit Checker(const std::string& source) : source_(source) {}

    [[noreturn]] void fail(const std::string& path, const std::string& what) const {
        throw AreasFileError(source_ + ": " + path + ": " + what);
    }

    // Type and a short preview of a value. Bounded in depth, so that a
    // hostile file nested a million levels deep cannot exhaust the stack.
    static std::string describe(const json& v) {
        if (v.is_null()) return "null";
        std::string text;
        preview(v, 0, text);
        if (text.size() > 40) text = text.substr(0, 37) + "...";
        return std::string(v.type_name()) + " " + text;
    }

    static void preview(const json& v, int depth, std::string& out) {
        if (out.size() > 40) return;
        if (v.is_array()) {
            if (depth >= 4) {
                out += "[...]";
                return;
            }
            out += "[";
            bool first = true;
            for (const json& e : v) {
                if (out.size() > 40) break;
                if (!first) out += ",";
                first = false;
                preview(e, depth + 1, out);
            }
            out += "]";
        } else if (v.is_object()) {
            out += "{...}";
        } else {
            out += v.dump();
        }
    }

    void keys(const json& obj, const std::string& path, std::initializer_list<const char*> allowed) const {
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            const std::string& key = it.key();
            if (!key.empty() && key[0] == '_') continue;
            bool ok = false;
            std::string list;
            for (const char* a : allowed) {
                if (key == a) ok = true;
                if (!list.empty()) list += ", ";
                list += a;
            }
            if (!ok) fail(path, "unknown key \"" + key + "\" (expected " + list + ")");
        }
    }

    int64_t integer(const json& v, const std::string& path, int64_t lo, int64_t hi) const {
        const std::string range = "an integer within " + std::to_string(lo) + ".." + std::to_string(hi);
        if (!v.is_number()) fail(path, "expected " + range + ", got " + describe(v));
        double d;
        if (v.is_number_integer()) {
            if (v.is_number_unsigned()) {
                const uint64_t u = v.get<uint64_t>();
                if (u > static_cast<uint64_t>(hi)) fail(path, "expected " + range + ", got " + v.dump());
                return static_cast<int64_t>(u);
            }
            const int64_t i = v.get<int64_t>();
            if (i < lo || i > hi) fail(path, "expected " + range + ", got " + v.dump());
            return i;
        }
        d = v.get<double>();
        if (!std::isfinite(d) || d != std::floor(d)) fail(path, "expected " + range + ", got " + v.dump());
        if (d < static_cast<double>(lo) || d > static_cast<double>(hi))
            fail(path, "expected " + range + ", got " + v.dump());
        return static_cast<int64_t>(d);
    }

    float ratio(const json& v, const std::string& path) const {
        const char* expected = "expected a number of 0 or more (a fraction such as 0.1)";
        if (!v.is_number()) fail(path, std::string(expected) + ", got " + describe(v));
        const double d = v.get<double>();
        if (!std::isfinite(d) || d < 0.0 || d > FLT_MAX) fail(path, std::string(expected) + ", got " + v.dump());
        return static_cast<float>(d);
    }

private:
    std::string source_;
};

AreaQuad ParseVertices(const Checker& c, const json& v, const std::string& path) {
    const char* expected = "expected an array of 4 vertices [x, y]";
    if (!v.is_array()) c.fail(path, std::string(expected) + ", got " + Checker::describe(v));
    if (v.size() != 4) c.fail(path, std::string(expected) + ", got " + std::to_string(v.size()) + " vertices");
    int32_t xy[8];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string vp = path + "[" + std::to_string(i) + "]";
        const json& p = v[i];
        if (!p.is_array() || p.size() != 2)
            c.fail(vp, "expected a vertex [x, y] of two integers, got " + Checker::describe(p));
        xy[2 * i] = static_cast<int32_t>(c.integer(p[0], vp + "[0]", tarvocoil::kMinCoord, tarvocoil::kMaxCoord));
        xy[2 * i + 1] = static_cast<int32_t>(c.integer(p[1], vp + "[1]", tarvocoil::kMinCoord, tarvocoil::kMaxCoord));
    }
    return AreaQuad{xy[0], xy[1], xy[2], xy[3], xy[4], xy[5], xy[6], xy[7]};
}

void ParseSettings(const Checker& c, const json& s, AreasConfig& out) {
    const std::string path = "$.settings";
    if (!s.is_object()) c.fail(path, "expected an object, got " + Checker::describe(s));
    c.keys(s, path, {"frame_count", "disturb_ratio", "front_light", "light"});
    if (s.contains("frame_count"))
        out.frameCount = static_cast<int32_t>(c.integer(s["frame_count"], path + ".frame_count", INT32_MIN, INT32_MAX));
    if (s.contains("disturb_ratio")) out.disturbRatio = c.ratio(s["disturb_ratio"], path + ".disturb_ratio");
    if (s.contains("front_light")) {
        const json& f = s["front_light"];
        if (!f.is_boolean()) c.fail(path + ".front_light", "expected true or false, got " + Checker::describe(f));
        out.frontLight = f.get<bool>();
    }
    if (s.contains("light")) {
        const json& l = s["light"];
        const std::string lp = path + ".light";
        if (!l.is_object()) c.fail(lp, "expected an object, got " + Checker::describe(l));
        c.keys(l, lp, {"threshold", "min_width", "max_width", "min_height", "max_height"});
        LightLimits lim;
        const struct {
            const char* key;
            int32_t* field;
        } fields[] = {{"threshold", &lim.threshold}, {"min_width", &lim.minWidth}, {"max_width", &lim.maxWidth},
                      {"min_height", &lim.minHeight}, {"max_height", &lim.maxHeight}};
        for (const auto& f : fields)
            if (l.contains(f.key)) *f.field = static_cast<int32_t>(c.integer(l[f.key], lp + "." + f.key, 0, 32767));
        const int64_t area = int64_t(lim.maxWidth) * lim.maxHeight;
        if (area > 32767)
            out.warnings.push_back(
                "$.settings.light: max_width x max_height = " + std::to_string(area) +
                " exceeds 32767; the detector keeps only its low 16 bits, so the blob area limit becomes " +
                std::to_string(static_cast<int16_t>(static_cast<uint16_t>(area))) +
                (static_cast<int16_t>(static_cast<uint16_t>(area)) <= 0 ? " and no light blob is ever accepted"
                                                                         : ""));
        out.light = lim;
    }
}

}  // namespace

namespace {

// The shared readers (JSON text, input files) throw ToolError; the areas
// file's callers get the same message as an AreasFileError.
template <typename Fn>
auto AsAreasFileError(Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const AreasFileError&) {
        throw;
    } catch (const ToolError& e) {
        throw AreasFileError(e.what());
    }
}

}  // namespace

AreasConfig ParseAreas(const std::string& text, const std::string& source) {
    const json doc = AsAreasFileError([&] { return ParseJsonText(text, source); });

    Checker c(source);
    AreasConfig out;
    const json* list = &doc;
    std::string listPath = "$";
    if (doc.is_object()) {
        c.keys(doc, "$", {"areas", "settings"});
        if (!doc.contains("areas")) c.fail("$", "missing key \"areas\" (expected a list of areas)");
        list = &doc["areas"];
        listPath = "$.areas";
        if (doc.contains("settings")) ParseSettings(c, doc["settings"], out);
    } else if (!doc.is_array()) {
        c.fail("$", "expected an object with \"areas\" (or an array of areas), got " + Checker::describe(doc));
    }
    if (!list->is_array()) c.fail(listPath, "expected an array of areas, got " + Checker::describe(*list));
    if (list->empty()) c.fail(listPath, "expected at least one area, got none");
    if (list->size() > static_cast<std::size_t>(kMaxAreas))
        c.fail(listPath, "expected at most " + std::to_string(kMaxAreas) + " areas (the detector's limit), got " +
                             std::to_string(list->size()));

    out.areas.reserve(list->size());
    for (std::size_t i = 0; i < list->size(); ++i) {
        const std::string path = listPath + "[" + std::to_string(i) + "]";
        const json& a = (*list)[i];
        if (!a.is_object())
            c.fail(path, "expected an area object with \"vertices\", got " + Checker::describe(a));
        c.keys(a, path, {"name", "vertices", "threshold"});
        AreaSpec entry;
        if (a.contains("name")) {
            if (!a["name"].is_string()) c.fail(path + ".name", "expected a string, got " + Checker::describe(a["name"]));
            entry.name = a["name"].get<std::string>();
        } else {
            entry.name = "area " + std::to_string(i);
        }
        if (!a.contains("vertices")) c.fail(path, "missing key \"vertices\" (expected 4 vertices [x, y])");
        entry.quad = ParseVertices(c, a["vertices"], path + ".vertices");
        if (a.contains("threshold")) entry.threshold = c.ratio(a["threshold"], path + ".threshold");
        out.areas.push_back(std::move(entry));
    }
    return out;
}

AreasConfig LoadAreasFile(const std::string& path) {
    if (path != "-")
        return ParseAreas(AsAreasFileError([&] { return ReadInputFile(path, "areas file", kMaxAreasFileBytes); }), path);
    // Bounded: standard input may be a device that never ends.
    const std::string name = "(standard input)";
    std::string text;
    char buf[65536];
    std::size_t n = 0;
    bool tooLarge = false;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) {
        if (text.size() + n > kMaxAreasFileBytes) {
            tooLarge = true;
            break;
        }
        text.append(buf, n);
    }
    const bool failed = std::ferror(stdin) != 0;
    const int err = errno;
    if (tooLarge)
        throw AreasFileError("areas file '" + name + "' is larger than " + std::to_string(kMaxAreasFileBytes >> 20) +
                        " MiB; refusing to read it");
    if (failed) throw AreasFileError("cannot read areas file '" + name + "': " + std::strerror(err));
    return ParseAreas(text, name);
}

void ApplyAreas(tarvocoil::Detector& det, const AreasConfig& config) {
    if (config.frameCount) det.setFrameCountThresh(*config.frameCount);
    if (config.disturbRatio) det.setTwoFramesDisturbThresh(*config.disturbRatio);
    if (config.frontLight) det.useFrontLightTrigger(*config.frontLight ? 1 : 0);
    if (config.light) {
        const LightLimits& l = *config.light;
        det.setLightParam(l.threshold, l.minWidth, l.maxWidth, l.minHeight, l.maxHeight);
    }
    std::vector<AreaQuad> quads;
    std::vector<float> thresholds;
    for (const AreaSpec& a : config.areas) {
        quads.push_back(a.quad);
        thresholds.push_back(a.threshold);
    }
    if (!det.setAreas(quads, thresholds)) throw ToolError("the detector refused the areas (out of memory?)");
}

namespace {

std::string AreaLabel(const AreasConfig& config, std::size_t i) {
    return "area " + std::to_string(i) + " \"" + config.areas[i].name + "\"";
}

// One warning for many areas: the first few by name, then a count.
std::string ManyAreasOutside(const AreasConfig& config, const std::vector<std::size_t>& outside,
                             const std::string& frame) {
    std::string s = std::to_string(outside.size()) + " areas lie wholly outside the " + frame + " frame: ";
    for (std::size_t k = 0; k < kAreasOutsideNamed; ++k) s += (k ? ", " : "") + AreaLabel(config, outside[k]);
    return s + " and " + std::to_string(outside.size() - kAreasOutsideNamed) + " more";
}

}  // namespace

std::vector<std::string> AreasOutsideFrame(const AreasConfig& config, int width, int height) {
    std::vector<std::size_t> outside;
    for (std::size_t i = 0; i < config.areas.size(); ++i)
        if (!QuadTouchesFrame(config.areas[i].quad, width, height)) outside.push_back(i);
    const std::string frame = std::to_string(width) + "x" + std::to_string(height);
    if (outside.size() > kAreasOutsideNamed) return {ManyAreasOutside(config, outside, frame)};
    std::vector<std::string> out;
    for (std::size_t i : outside) out.push_back(AreaLabel(config, i) + " lies wholly outside the " + frame + " frame");
    return out;
}

namespace {
// A float ratio as the short decimal a person wrote (0.1, not 0.100000001).
double Tidy(float v) { return std::round(static_cast<double>(v) * 1e6) / 1e6; }
}  // namespace

nlohmann::ordered_json AreasToJson(const AreasConfig& config) {
    nlohmann::ordered_json doc;
    nlohmann::ordered_json areas = nlohmann::ordered_json::array();
    for (const AreaSpec& a : config.areas) {
        const AreaQuad& q = a.quad;
        areas.push_back({{"name", a.name},
                         {"vertices", {{q.x0, q.y0}, {q.x1, q.y1}, {q.x2, q.y2}, {q.x3, q.y3}}},
                         {"threshold", Tidy(a.threshold)}});
    }
    doc["areas"] = areas;
    nlohmann::ordered_json s = nlohmann::ordered_json::object();
    if (config.frameCount) s["frame_count"] = *config.frameCount;
    if (config.disturbRatio) s["disturb_ratio"] = Tidy(*config.disturbRatio);
    if (config.frontLight) s["front_light"] = *config.frontLight;
    if (config.light) {
        const LightLimits& l = *config.light;
        s["light"] = {{"threshold", l.threshold}, {"min_width", l.minWidth}, {"max_width", l.maxWidth},
                      {"min_height", l.minHeight}, {"max_height", l.maxHeight}};
    }
    if (!s.empty()) doc["settings"] = s;
    return doc;
}

std::string CompactJson(const nlohmann::ordered_json& j) {
    if (j.is_array()) {
        std::string out = "[";
        for (std::size_t i = 0; i < j.size(); ++i) out += (i ? ", " : "") + CompactJson(j[i]);
        return out + "]";
    }
    if (j.is_object()) {
        std::string out = "{";
        bool first = true;
        for (auto it = j.begin(); it != j.end(); ++it) {
            out += (first ? "" : ", ") + nlohmann::json(it.key()).dump() + ": " + CompactJson(it.value());
            first = false;
        }
        return out + "}";
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonListLines(const nlohmann::ordered_json& list, const std::string& indent) {
    std::string out = "[\n";
    for (std::size_t i = 0; i < list.size(); ++i)
        out += indent + "  " + CompactJson(list[i]) + (i + 1 < list.size() ? ",\n" : "\n");
    return out + indent + "]";
}

std::vector<std::string> AreaNames(const AreasConfig& config) {
    std::vector<std::string> out;
    for (const AreaSpec& a : config.areas) out.push_back(a.name);
    return out;
}

std::string AreasToText(const AreasConfig& config) {
    const nlohmann::ordered_json doc = AreasToJson(config);
    std::string out = "{\n  \"areas\": " + JsonListLines(doc["areas"], "  ");
    if (doc.contains("settings")) out += ",\n  \"settings\": " + CompactJson(doc["settings"]);
    return out + "\n}\n";
}

}  // namespace tarvotool
