// json_text.cpp - JSON text parsed with the tool's own limits and messages.
#include "host/json_text.h"

#include <algorithm>
#include <set>
#include <vector>

#include "host/errors.h"

namespace tarvotool {

using nlohmann::json;

namespace {

std::string LineAndColumn(const std::string& text, std::size_t byte) {
    // nlohmann counts the offending character as byte number `byte` (from 1).
    std::size_t end = std::min(byte == 0 ? 0 : byte - 1, text.size());
    std::size_t line = 1, col = 1;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
    }
    return std::to_string(line) + ":" + std::to_string(col);
}

// Follows the parser through the document, so that errors the parser
// itself cannot place (a duplicate key, a number beyond double, too deep a
// nesting) get a JSON path such as $.areas[1].threshold.
class PathTracker {
public:
    explicit PathTracker(std::string where) : where_(std::move(where)) {}

    // A parser callback: throws ToolError on a repeated key in one object
    // and before opening a container beyond the depth limit.
    bool event(json::parse_event_t ev, const json& parsed) {
        switch (ev) {
            case json::parse_event_t::object_start: push(false); break;
            case json::parse_event_t::array_start: push(true); break;
            case json::parse_event_t::key: {
                Frame& top = stack_.back();
                top.key = parsed.get<std::string>();
                const bool comment = !top.key.empty() && top.key[0] == '_';
                if (!comment && !top.keys.insert(top.key).second)
                    throw ToolError(where_ + path() + ": duplicate key \"" + top.key +
                                    "\" (each key may appear once in an object)");
                break;
            }
            case json::parse_event_t::value: next(); break;
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                stack_.pop_back();
                next();
                break;
        }
        return true;
    }

    // Where the parser is: the element it reads now.
    std::string path() const {
        std::string p = "$";
        for (const Frame& f : stack_) p += f.array ? "[" + std::to_string(f.index) + "]" : "." + f.key;
        return p;
    }

private:
    struct Frame {
        bool array = false;
        std::size_t index = 0;
        std::string key;
        std::set<std::string> keys;
    };
    void push(bool array) {
        if (stack_.size() >= static_cast<std::size_t>(kMaxJsonDepth))
            throw ToolError(where_ + path() + ": nested deeper than " + std::to_string(kMaxJsonDepth) +
                            " levels (arrays and objects within each other)");
        stack_.emplace_back();
        stack_.back().array = array;
    }
    void next() {
        if (!stack_.empty() && stack_.back().array) ++stack_.back().index;
    }
    std::string where_;
    std::vector<Frame> stack_;
};

}  // namespace

json ParseJsonText(const std::string& text, const std::string& source) {
    const std::string where = source.empty() ? "" : source + ": ";
    PathTracker tracker(where);
    try {
        return json::parse(text, [&](int, json::parse_event_t ev, json& parsed) { return tracker.event(ev, parsed); });
    } catch (const json::out_of_range&) {
        throw ToolError(where + tracker.path() +
                        ": number out of range (beyond what a double holds)");
    } catch (const json::parse_error& e) {
        std::string what = e.what();
        // Keep nlohmann's explanation, drop its own prefix and position.
        const std::size_t colon = what.find(": ", what.find("parse error"));
        if (colon != std::string::npos) what = what.substr(colon + 2);
        throw ToolError((source.empty() ? "" : source + ":") + LineAndColumn(text, e.byte) + ": JSON syntax error: " + what);
    } catch (const json::exception& e) {
        throw ToolError(where + "JSON error: " + e.what());
    }
}

}  // namespace tarvotool
