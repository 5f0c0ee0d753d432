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

    // Metres or seconds that must be more than zero.
    double positive(const json& v, const std::string& path) const {
        const char* expected = "expected a finite number greater than 0";
        if (!v.is_number()) fail(path, std::string(expected) + ", got " + describe(v));
        const double d = v.get<double>();
        if (!std::isfinite(d) || d <= 0.0) fail(path, std::string(expected) + ", got " + v.dump());
        return d;
    }

    // Seconds or counts where 0 turns something off.
    double nonNegative(const json& v, const std::string& path, double hi = DBL_MAX) const {
        const std::string expected =
            hi == DBL_MAX ? "expected a finite number of 0 or more" : "expected a number within 0.." + Short(hi);
        if (!v.is_number()) fail(path, expected + ", got " + describe(v));
        const double d = v.get<double>();
        if (!std::isfinite(d) || d < 0.0 || d > hi) fail(path, expected + ", got " + v.dump());
        return d;
    }

    static std::string Short(double d) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", d);
        return buf;
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

std::string Quote(const std::string& s) { return nlohmann::json(s).dump(-1, ' ', false, json::error_handler_t::replace); }

// The index of the one area called `name`; a pair must name a coil
// unambiguously.
std::size_t FindArea(const Checker& c, const AreasConfig& out, const std::string& name, const std::string& path) {
    std::size_t found = out.areas.size(), count = 0;
    for (std::size_t i = 0; i < out.areas.size(); ++i)
        if (out.areas[i].name == name) {
            if (count++ == 0) found = i;
        }
    if (count == 0) c.fail(path, "no area is called " + Quote(name));
    if (count > 1) c.fail(path, std::to_string(count) + " areas are called " + Quote(name) + "; a pair needs one");
    return found;
}

std::string PairEnd(const Checker& c, const json& p, const char* key, const std::string& path) {
    if (!p.contains(key)) c.fail(path, std::string("missing key \"") + key + "\" (expected an area's name)");
    if (!p[key].is_string()) c.fail(path + "." + key, "expected an area's name, got " + Checker::describe(p[key]));
    return p[key].get<std::string>();
}

PairSpec ParsePair(const Checker& c, const json& p, const std::string& path, std::size_t i, const AreasConfig& out) {
    if (!p.is_object()) c.fail(path, "expected a pair object with \"from\", \"to\" and \"distance\", got " + Checker::describe(p));
    c.keys(p, path, {"name", "from", "to", "distance", "max_time"});
    PairSpec pair;
    if (p.contains("name")) {
        if (!p["name"].is_string()) c.fail(path + ".name", "expected a string, got " + Checker::describe(p["name"]));
        pair.name = p["name"].get<std::string>();
    } else {
        pair.name = "pair " + std::to_string(i);
    }
    pair.from = PairEnd(c, p, "from", path);
    pair.to = PairEnd(c, p, "to", path);
    pair.fromArea = FindArea(c, out, pair.from, path + ".from");
    pair.toArea = FindArea(c, out, pair.to, path + ".to");
    if (pair.fromArea == pair.toArea) c.fail(path + ".to", "names the same area as \"from\" (" + Quote(pair.to) + ")");
    if (!p.contains("distance")) c.fail(path, "missing key \"distance\" (expected metres between the coils' leading edges)");
    pair.distance = c.positive(p["distance"], path + ".distance");
    if (p.contains("max_time")) pair.maxTime = c.positive(p["max_time"], path + ".max_time");
    return pair;
}

void ParsePairs(const Checker& c, const json& list, AreasConfig& out) {
    const std::string path = "$.pairs";
    if (!list.is_array()) c.fail(path, "expected an array of pairs, got " + Checker::describe(list));
    out.pairs.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string pp = path + "[" + std::to_string(i) + "]";
        PairSpec pair = ParsePair(c, list[i], pp, i, out);
        // One coil feeds one trap at each end: a second pair on the same
        // end would make one trigger count two vehicles.
        for (std::size_t k = 0; k < out.pairs.size(); ++k) {
            if (out.pairs[k].fromArea == pair.fromArea)
                c.fail(pp + ".from", Quote(pair.from) + " is already \"from\" in $.pairs[" + std::to_string(k) + "]");
            if (out.pairs[k].toArea == pair.toArea)
                c.fail(pp + ".to", Quote(pair.to) + " is already \"to\" in $.pairs[" + std::to_string(k) + "]");
        }
        out.pairs.push_back(std::move(pair));
    }
}

void ParseHealth(const Checker& c, const json& h, AreasConfig& out) {
    const std::string path = "$.health";
    if (!h.is_object()) c.fail(path, "expected an object, got " + Checker::describe(h));
    c.keys(h, path, {"no_activity", "max_presence", "chatter"});
    HealthSpec checks;
    if (h.contains("no_activity")) checks.noActivity = c.nonNegative(h["no_activity"], path + ".no_activity");
    if (h.contains("max_presence")) checks.maxPresence = c.nonNegative(h["max_presence"], path + ".max_presence");
    if (h.contains("chatter")) checks.chatter = c.nonNegative(h["chatter"], path + ".chatter", kMaxChatter);
    out.health = checks;
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
        c.keys(doc, "$", {"areas", "settings", "pairs", "health"});
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
        c.keys(a, path, {"name", "vertices", "threshold", "length", "holdoff"});
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
        if (a.contains("length")) entry.length = c.positive(a["length"], path + ".length");
        if (a.contains("holdoff")) entry.holdoff = c.nonNegative(a["holdoff"], path + ".holdoff");
        out.areas.push_back(std::move(entry));
    }
    if (doc.is_object() && doc.contains("pairs")) ParsePairs(c, doc["pairs"], out);
    if (doc.is_object() && doc.contains("health")) ParseHealth(c, doc["health"], out);
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
        nlohmann::ordered_json area = {{"name", a.name},
                                       {"vertices", {{q.x0, q.y0}, {q.x1, q.y1}, {q.x2, q.y2}, {q.x3, q.y3}}},
                                       {"threshold", Tidy(a.threshold)}};
        if (a.length) area["length"] = *a.length;
        if (a.holdoff) area["holdoff"] = *a.holdoff;
        areas.push_back(area);
    }
    doc["areas"] = areas;
    if (!config.pairs.empty()) {
        nlohmann::ordered_json pairs = nlohmann::ordered_json::array();
        for (const PairSpec& p : config.pairs) {
            nlohmann::ordered_json pair = {{"name", p.name}, {"from", p.from}, {"to", p.to}, {"distance", p.distance}};
            if (p.maxTime) pair["max_time"] = *p.maxTime;
            pairs.push_back(pair);
        }
        doc["pairs"] = pairs;
    }
    if (config.health) {
        nlohmann::ordered_json h = nlohmann::ordered_json::object();
        if (config.health->noActivity) h["no_activity"] = *config.health->noActivity;
        if (config.health->maxPresence) h["max_presence"] = *config.health->maxPresence;
        if (config.health->chatter) h["chatter"] = *config.health->chatter;
        doc["health"] = h;
    }
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
    if (doc.contains("pairs")) out += ",\n  \"pairs\": " + JsonListLines(doc["pairs"], "  ");
    if (doc.contains("health")) out += ",\n  \"health\": " + CompactJson(doc["health"]);
    if (doc.contains("settings")) out += ",\n  \"settings\": " + CompactJson(doc["settings"]);
    return out + "\n}\n";
}

}  // namespace tarvotool
