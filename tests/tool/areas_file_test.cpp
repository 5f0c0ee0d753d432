// areas_file_test.cpp - areas files: what parses, and the one clear error
// each kind of mistake gets.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tests/tool/tool_test_util.h"
#include "host/json_text.h"
#include "tools/evidence/tune.h"

using namespace tooltest;
using tarvotool::AreasConfig;
using tarvotool::ParseAreas;

namespace {

std::string Area(const std::string& vertices, const std::string& extra = "") {
    return "{\"name\": \"a\", \"vertices\": " + vertices + extra + "}";
}
const std::string kSquare = "[[10, 10], [50, 10], [50, 50], [10, 50]]";

std::string ManyAreas(int n) {
    std::string s = "{\"areas\": [";
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::string("{\"vertices\": [[0,0],[4,0],[4,4],[0,4]]}");
    return s + "]}";
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

TEST(AreasFile, FullFormWithSettings) {
    const AreasConfig c = ParseAreas(R"({
      "_comment": "ignored",
      "areas": [
        {"name": "lane 1", "vertices": [[1, 2], [3, 4], [5, 6], [-7, 32767]], "threshold": 0.25, "_note": 1},
        {"vertices": [[0, 0], [10, 0], [10, 10.0], [0, 10]]}
      ],
      "settings": {"frame_count": -1, "disturb_ratio": 0.2, "front_light": true,
                   "light": {"threshold": 180, "max_width": 60}}
    })", "t.json");
    ASSERT_EQ(c.areas.size(), 2u);
    EXPECT_EQ(c.areas[0].name, "lane 1");
    EXPECT_EQ(c.areas[0].quad.x3, -7);
    EXPECT_EQ(c.areas[0].quad.y3, 32767);
    EXPECT_FLOAT_EQ(c.areas[0].threshold, 0.25f);
    EXPECT_EQ(c.areas[1].name, "area 1");
    EXPECT_FLOAT_EQ(c.areas[1].threshold, tarvotool::kDefaultThreshold);
    EXPECT_EQ(c.areas[1].quad.y2, 10);
    EXPECT_EQ(*c.frameCount, -1);
    EXPECT_FLOAT_EQ(*c.disturbRatio, 0.2f);
    EXPECT_TRUE(*c.frontLight);
    EXPECT_EQ(c.light->threshold, 180);
    EXPECT_EQ(c.light->maxWidth, 60);
    EXPECT_EQ(c.light->minWidth, 20);  // unspecified limits keep their defaults
    EXPECT_TRUE(c.warnings.empty());

    // What the demo writes reads back the same.
    const AreasConfig back = ParseAreas(tarvotool::AreasToText(c), "back.json");
    EXPECT_EQ(back.areas[0].quad.x1, 3);
    EXPECT_FLOAT_EQ(back.areas[0].threshold, 0.25f);
    EXPECT_EQ(back.light->maxWidth, 60);
}

TEST(AreasFile, ExamplesParse) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(tooltest::kExamplesDir)) {
        if (e.path().extension() != ".json") continue;
        ++n;
        SCOPED_TRACE(e.path().string());
        const AreasConfig c = tarvotool::LoadAreasFile(e.path().string());
        EXPECT_FALSE(c.areas.empty());
        EXPECT_TRUE(c.warnings.empty());
    }
    EXPECT_GE(n, 3);
}

TEST(AreasFile, AreaCountLimits) {
    EXPECT_EQ(ParseAreas(ManyAreas(32767), "big.json").areas.size(), 32767u);
    try {
        ParseAreas(ManyAreas(32768), "big.json");
        FAIL() << "32768 areas accepted";
    } catch (const tarvotool::ToolError& e) {
        EXPECT_STREQ(e.what(), "big.json: $.areas: expected at most 32767 areas (the detector's limit), got 32768");
    }
}

TEST(AreasFile, LightAreaLimitWrapWarns) {
    const AreasConfig c = ParseAreas("{\"areas\": [" + Area(kSquare) +
                                         "], \"settings\": {\"light\": {\"max_width\": 200, \"max_height\": 200}}}",
                                     "w.json");
    ASSERT_EQ(c.warnings.size(), 1u);
    EXPECT_NE(c.warnings[0].find("-25536 and no light blob is ever accepted"), std::string::npos) << c.warnings[0];
}

// Every malformed file through the program: exit status 1 and exactly one
// line naming the file, the place and what was expected.
TEST(AreasFile, MalformedFilesGetOneClearError) {
    const struct {
        const char* label;
        std::string text;
        std::string message;
    } cases[] = {
        {"syntax", "{\n  \"areas\": [\n    {\"vertices\": [[0,0],[1,0],[1,1],[0,1]],}\n  ]\n}",
         ":3:44: JSON syntax error: syntax error while parsing object key - unexpected '}'; expected string literal"},
        {"empty", "", ":1:1: JSON syntax error: syntax error while parsing value - unexpected end of input; expected '[', '{', or a "
         "literal"},
        {"three vertices", "[" + Area("[[0,0],[1,0],[1,1]]") + "]",
         ": $[0].vertices: expected an array of 4 vertices [x, y], got 3 vertices"},
        {"five vertices", "{\"areas\": [" + Area(kSquare) + ", " + Area("[[0,0],[1,0],[1,1],[0,1],[2,2]]") + "]}",
         ": $.areas[1].vertices: expected an array of 4 vertices [x, y], got 5 vertices"},
        {"vertices not a list", "[" + Area("\"square\"") + "]",
         ": $[0].vertices: expected an array of 4 vertices [x, y], got string \"square\""},
        {"coordinate not a number", "[" + Area("[[0,0],[1,\"0\"],[1,1],[0,1]]") + "]",
         ": $[0].vertices[1][1]: expected an integer within -32768..32767, got string \"0\""},
        {"fractional coordinate", "[" + Area("[[0,0],[1,0],[1.5,1],[0,1]]") + "]",
         ": $[0].vertices[2][0]: expected an integer within -32768..32767, got 1.5"},
        {"coordinate out of range", "[" + Area("[[0,0],[1,0],[1,1],[0,40000]]") + "]",
         ": $[0].vertices[3][1]: expected an integer within -32768..32767, got 40000"},
        {"vertex of three numbers", "[" + Area("[[0,0,0],[1,0],[1,1],[0,1]]") + "]",
         ": $[0].vertices[0]: expected a vertex [x, y] of two integers, got array [0,0,0]"},
        {"threshold not a number", "[" + Area(kSquare, ", \"threshold\": \"high\"") + "]",
         ": $[0].threshold: expected a number of 0 or more (a fraction such as 0.1), got string \"high\""},
        {"negative threshold", "[" + Area(kSquare, ", \"threshold\": -0.1") + "]",
         ": $[0].threshold: expected a number of 0 or more (a fraction such as 0.1), got -0.1"},
        {"misspelt key", "[" + Area(kSquare, ", \"treshold\": 0.2") + "]",
         ": $[0]: unknown key \"treshold\" (expected name, vertices, threshold, length, holdoff)"},
        {"no vertices", "[{\"name\": \"a\"}]", ": $[0]: missing key \"vertices\" (expected 4 vertices [x, y])"},
        {"no areas", "{\"settings\": {}}", ": $: missing key \"areas\" (expected a list of areas)"},
        {"empty list", "{\"areas\": []}", ": $.areas: expected at least one area, got none"},
        {"not an object", "42", ": $: expected an object with \"areas\" (or an array of areas), got number 42"},
        {"too many areas", ManyAreas(32768),
         ": $.areas: expected at most 32767 areas (the detector's limit), got 32768"},
        {"front_light not boolean", "{\"areas\": [" + Area(kSquare) + "], \"settings\": {\"front_light\": 1}}",
         ": $.settings.front_light: expected true or false, got number 1"},
        {"frame_count fraction", "{\"areas\": [" + Area(kSquare) + "], \"settings\": {\"frame_count\": 2.5}}",
         ": $.settings.frame_count: expected an integer within -2147483648..2147483647, got 2.5"},
        {"light limit negative",
         "{\"areas\": [" + Area(kSquare) + "], \"settings\": {\"light\": {\"min_width\": -3}}}",
         ": $.settings.light.min_width: expected an integer within 0..32767, got -3"},
        {"unknown setting", "{\"areas\": [" + Area(kSquare) + "], \"settings\": {\"framecount\": 3}}",
         ": $.settings: unknown key \"framecount\" (expected frame_count, disturb_ratio, front_light, light)"},
        {"nested a million deep", "[" + Area("[" + std::string(1000000, '[') + std::string(1000000, ']') + "]") + "]",
         ": $[0].vertices" + Repeat("[0]", 62) + ": nested deeper than 64 levels (arrays and objects within each other)"},
        {"number beyond double", "[" + Area(kSquare, ", \"threshold\": 1e999") + "]",
         ": $[0].threshold: number out of range (beyond what a double holds)"},
        {"huge coordinate", "[" + Area("[[0,0],[1,0],[1,-1e400],[0,1]]") + "]",
         ": $[0].vertices[2][1]: number out of range (beyond what a double holds)"},
        {"duplicate key", "[" + Area(kSquare, ", \"threshold\": 0.2, \"threshold\": 0.3") + "]",
         ": $[0].threshold: duplicate key \"threshold\" (each key may appear once in an object)"},
        {"duplicate nested key",
         "{\"areas\": [" + Area(kSquare) + "], \"settings\": {\"light\": {\"min_width\": 3, \"min_width\": 4}}}",
         ": $.settings.light.min_width: duplicate key \"min_width\" (each key may appear once in an object)"},
        {"null name", "[{\"name\": null, \"vertices\": " + std::string(kSquare) + "}]",
         ": $[0].name: expected a string, got null"},
        {"deep vertex", "[" + Area("[[[[[[[[1]]]]]]],[1,0],[1,1],[0,1]]") + "]",
         ": $[0].vertices[0]: expected a vertex [x, y] of two integers, got array [[[[[...]]]]]"},
    };
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = Scratch("bad" + std::to_string(i++) + ".json");
        WriteFile(path, c.text);
        const CliResult r = RunCli({"run", ClipPath(), "--areas", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tarvocoil: " + path + c.message + "\n");
        EXPECT_EQ(r.out, "");
    }
    // Comments may repeat.
    const std::string comments = Scratch("comments.json");
    WriteFile(comments, "{\"_c\": 1, \"_c\": 2, \"areas\": [" + Area(kSquare) + "]}");
    EXPECT_EQ(RunCli({"run", ClipPath(), "--areas", comments, "-q"}).status, 0);

    const CliResult missing = RunCli({"run", ClipPath(), "--areas", Scratch("none.json")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "tarvocoil: cannot read areas file '" + Scratch("none.json") + "': No such file or directory\n");
}

// Nesting is limited wherever JSON is read, before anything walks it
// recursively: tune rewriting an areas file, plot reading a trace.
TEST(AreasFile, NestingDeeperThanTheLimitIsAnErrorWithItsPlace) {
    const std::string areas = "\"areas\": [" + Area(kSquare) + "]";
    const std::string comment63 = Repeat("[", 63) + Repeat("]", 63);
    EXPECT_EQ(ParseAreas("{\"_c\": " + comment63 + ", " + areas + "}", "f").areas.size(), 1u);
    try {
        ParseAreas("{\"_c\": {\"x\": [" + comment63 + "]}, " + areas + "}", "f");
        ADD_FAILURE() << "65 levels accepted";
    } catch (const tarvotool::ToolError& e) {
        EXPECT_EQ(std::string(e.what()), "f: $._c.x" + Repeat("[0]", 62) +
                                             ": nested deeper than 64 levels (arrays and objects within each other)");
    }
    try {
        tarvotool::ParseJsonText("[1,\n" + Repeat("{\"k\":", 70), "");
        ADD_FAILURE() << "70 levels accepted";
    } catch (const tarvotool::ToolError& e) {
        EXPECT_EQ(std::string(e.what()).find("$[1].k.k.k"), 0u) << e.what();
    }

    const std::string file = Scratch("deep-comment.json"), tuned = Scratch("deep-tuned.json");
    const std::string truth = Scratch("deep-truth.csv");
    WriteFile(file, "{\"_comment\": " + Repeat("[", 30000) + Repeat("]", 30000) + ", " + areas + "}");
    WriteFile(truth, "frame,area\n10,0\n");
    CliResult r = RunCli({"tune", ClipPath(), "--areas", file, "--truth", truth, "--out", tuned});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(file + ": $._comment[0][0]"), std::string::npos) << r.err.substr(0, 300);
    EXPECT_FALSE(std::filesystem::exists(tuned));

    const std::string trace = Scratch("deep-trace.jsonl");
    WriteFile(trace, "{\"frame\": 0, \"x\": " + Repeat("[", 100000) + Repeat("]", 100000) + "}\n");
    r = RunCli({"plot", trace, "--out", Scratch("deep-trace.png")});
    EXPECT_EQ(r.status, 1) << r.err.substr(0, 300);
    EXPECT_NE(r.err.find("deep-trace.jsonl:1: "), std::string::npos) << r.err.substr(0, 300);
    EXPECT_NE(r.err.find("nested deeper than 64 levels"), std::string::npos) << r.err.substr(0, 300);
}

namespace {

std::string TrafficFile(const std::string& pairs, const std::string& extra = "") {
    return R"({"areas": [{"name": "in", "vertices": [[0,0],[9,0],[9,9],[0,9]], "length": 2, "holdoff": 0.5},
                         {"name": "out", "vertices": [[0,20],[9,20],[9,29],[0,29]]},
                         {"name": "twin", "vertices": [[0,40],[9,40],[9,49],[0,49]]},
                         {"name": "twin", "vertices": [[0,60],[9,60],[9,69],[0,69]]},
                         {"name": "side", "vertices": [[0,80],[9,80],[9,89],[0,89]]}],
              "pairs": )" +
           pairs + extra + "}";
}

}  // namespace

TEST(AreasFile, TrafficKeysParseWithDefaults) {
    const AreasConfig c = ParseAreas(
        TrafficFile(R"([{"name": "lane 1", "from": "in", "to": "out", "distance": 6.5}])", R"(, "health": {"chatter": 12})"),
        "t.json");
    EXPECT_EQ(*c.areas[0].length, 2.0);
    EXPECT_EQ(*c.areas[0].holdoff, 0.5);
    EXPECT_FALSE(c.areas[1].length);
    EXPECT_FALSE(c.areas[1].holdoff);
    ASSERT_EQ(c.pairs.size(), 1u);
    EXPECT_EQ(c.pairs[0].fromArea, 0u);
    EXPECT_EQ(c.pairs[0].toArea, 1u);
    EXPECT_EQ(c.pairs[0].distance, 6.5);
    EXPECT_EQ(c.pairs[0].maxTimeOr(), 5.0);
    EXPECT_EQ(c.health->chatterOr(), 12.0);
    EXPECT_EQ(c.health->maxPresenceOr(), 300.0);
    EXPECT_EQ(c.health->noActivityOr(), 0.0);
}

TEST(AreasFile, TrafficKeysGetOneClearError) {
    const struct {
        const char* label;
        std::string text;
        std::string message;
    } cases[] = {
        {"unknown coil", TrafficFile(R"([{"from": "in", "to": "exit", "distance": 6}])"),
         "$.pairs[0].to: no area is called \"exit\""},
        {"ambiguous coil", TrafficFile(R"([{"from": "twin", "to": "out", "distance": 6}])"),
         "$.pairs[0].from: 2 areas are called \"twin\"; a pair needs one"},
        {"same coil twice", TrafficFile(R"([{"from": "in", "to": "in", "distance": 6}])"),
         "$.pairs[0].to: names the same area as \"from\" (\"in\")"},
        {"coil twice as from",
         TrafficFile(R"([{"from": "in", "to": "out", "distance": 6}, {"from": "in", "to": "side", "distance": 6}])"),
         "$.pairs[1].from: \"in\" is already \"from\" in $.pairs[0]"},
        {"coil twice as to",
         TrafficFile(R"([{"from": "in", "to": "out", "distance": 6}, {"from": "side", "to": "out", "distance": 6}])"),
         "$.pairs[1].to: \"out\" is already \"to\" in $.pairs[0]"},
        {"zero distance", TrafficFile(R"([{"from": "in", "to": "out", "distance": 0}])"),
         "$.pairs[0].distance: expected a finite number greater than 0, got 0"},
        {"distance as text", TrafficFile(R"([{"from": "in", "to": "out", "distance": "6 m"}])"),
         "$.pairs[0].distance: expected a finite number greater than 0, got string \"6 m\""},
        {"no distance", TrafficFile(R"([{"from": "in", "to": "out"}])"),
         "$.pairs[0]: missing key \"distance\" (expected metres between the coils' leading edges)"},
        {"unknown pair key", TrafficFile(R"([{"from": "in", "to": "out", "distance": 6, "speed": 3}])"),
         "$.pairs[0]: unknown key \"speed\" (expected name, from, to, distance, max_time)"},
        {"pairs not a list", TrafficFile("{}"), "$.pairs: expected an array of pairs, got object {...}"},
        {"negative holdoff", "[{\"vertices\": [[0,0],[9,0],[9,9],[0,9]], \"holdoff\": -0.1}]",
         "$[0].holdoff: expected a finite number of 0 or more, got -0.1"},
        {"negative length", "[{\"vertices\": [[0,0],[9,0],[9,9],[0,9]], \"length\": -2}]",
         "$[0].length: expected a finite number greater than 0, got -2"},
        {"unknown health key", TrafficFile("[]", R"(, "health": {"chatter": 3, "frozen": 10})"),
         "$.health: unknown key \"frozen\" (expected no_activity, max_presence, chatter)"},
        {"negative health", TrafficFile("[]", R"(, "health": {"max_presence": -1})"),
         "$.health.max_presence: expected a finite number of 0 or more, got -1"},
        {"huge chatter", TrafficFile("[]", R"(, "health": {"chatter": 1e9})"),
         "$.health.chatter: expected a number within 0..14400, got 1000000000.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        try {
            ParseAreas(c.text, "t.json");
            ADD_FAILURE() << "accepted";
        } catch (const tarvotool::ToolError& e) {
            EXPECT_EQ(std::string(e.what()), "t.json: " + c.message);
        }
    }
}

// Whatever rewrites an areas file keeps the traffic keys as written, and
// leaves out the ones the file left out.
TEST(AreasFile, WritersKeepTheTrafficKeys) {
    const std::string original = TrafficFile(R"([{"name": "lane 1", "from": "in", "to": "out", "distance": 6.5, "max_time": 3}])",
                                             R"(, "health": {"no_activity": 600})");
    const AreasConfig c = ParseAreas(original, "t.json");
    const std::string text = tarvotool::AreasToText(c);
    const nlohmann::json doc = nlohmann::json::parse(text);
    EXPECT_EQ(doc["areas"][0]["length"], 2);
    EXPECT_EQ(doc["areas"][0]["holdoff"], 0.5);
    EXPECT_FALSE(doc["areas"][1].contains("length"));
    EXPECT_FALSE(doc["areas"][1].contains("holdoff"));
    EXPECT_EQ(doc["pairs"], nlohmann::json::parse(R"([{"name": "lane 1", "from": "in", "to": "out", "distance": 6.5, "max_time": 3}])"));
    EXPECT_EQ(doc["health"], nlohmann::json::parse(R"({"no_activity": 600})"));
    const AreasConfig back = ParseAreas(text, "t.json");
    EXPECT_EQ(back.pairs[0].maxTime, 3.0);
    EXPECT_FALSE(ParseAreas(tarvotool::AreasToText(ParseAreas("[" + Area(kSquare) + "]", "a")), "a").health);

    // tune --out replaces the thresholds only.
    std::vector<tarvotool::Candidate> th(5, tarvotool::Candidate{0.25f, "0.25"});
    const nlohmann::json tuned = nlohmann::json::parse(tarvotool::TunedAreasText(original, "t.json", th));
    EXPECT_EQ(tuned["pairs"], doc["pairs"]);
    EXPECT_EQ(tuned["health"], doc["health"]);
    EXPECT_EQ(tuned["areas"][0]["length"], 2);
    EXPECT_EQ(tuned["areas"][0]["holdoff"], 0.5);
    EXPECT_EQ(tuned["areas"][0]["threshold"], 0.25);
}

// A host tells a bad areas file from its own failures by the type alone
// (Python's AreasFileError), whichever shared reader found the fault; the
// message stays the tool's.
TEST(AreasFile, EveryFailureOfTheParserIsAnAreasFileError) {
    const auto messageOf = [](const std::function<void()>& load) -> std::string {
        try {
            load();
        } catch (const tarvotool::AreasFileError& e) {
            return e.what();
        } catch (const std::exception& e) {
            return std::string("other error: ") + e.what();
        }
        return "no error";
    };
    EXPECT_EQ(messageOf([] { ParseAreas("[", "f"); }).rfind("f:1:2: JSON syntax error", 0), 0u);
    EXPECT_EQ(messageOf([] { ParseAreas("{\"areas\": []}", "f"); }), "f: $.areas: expected at least one area, got none");
    EXPECT_EQ(messageOf([] { ParseAreas("[{\"vertices\": [[0,0]], \"k\": 1, \"k\": 2}]", "f"); }),
              "f: $[0].k: duplicate key \"k\" (each key may appear once in an object)");
    const std::string none = Scratch("no_such_areas.json");
    EXPECT_EQ(messageOf([&] { tarvotool::LoadAreasFile(none); }),
              "cannot read areas file '" + none + "': No such file or directory");
    const std::string folder = Scratch("areas_folder");
    std::filesystem::create_directories(folder);
    EXPECT_EQ(messageOf([&] { tarvotool::LoadAreasFile(folder); }).rfind("cannot read areas file '" + folder + "': ", 0),
              0u);
}
