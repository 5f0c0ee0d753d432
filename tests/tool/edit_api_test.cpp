// edit_api_test.cpp - the editor's JSON API, served in this process on a
// free loopback port: answers, refusals and the saves it makes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/edit/edit_server.h"
#include "tools/edit/edit_http.h"
#include "host/json_text.h"
#include "tarvocoil.hpp"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// One editor on its own folder, serving until the test ends.
class Editor {
public:
    explicit Editor(const std::string& name, const std::string& truth = "") {
        dir_ = Scratch(name);
        fs::create_directories(dir_);
        tarvotool::EditCommand cmd;
        cmd.video = ClipPath();
        cmd.areas = areas();
        cmd.truth = truth;
        cmd.port = 0;
        server_ = std::make_unique<tarvotool::EditServer>(cmd);
        port_ = server_->bind();
        thread_ = std::thread([this] { server_->serve(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(60, 0);
    }
    ~Editor() {
        server_->stop();
        thread_.join();
    }

    std::string areas() const { return dir_ + "/areas.json"; }
    const std::string& dir() const { return dir_; }
    int port() const { return port_; }
    httplib::Client& http() { return *client_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

    httplib::Result put(const std::string& body, const std::string& base = "") {
        return client_->Put("/api/areas", {{"X-Areas-Base", base}}, body, "application/json");
    }
    httplib::Result post(const std::string& path, const json& body) {
        return client_->Post(path.c_str(), body.dump(), "application/json");
    }

private:
    std::string dir_;
    std::unique_ptr<tarvotool::EditServer> server_;
    int port_ = 0;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
};

int Status(const httplib::Result& r) { return r ? r->status : -1; }
json Body(const httplib::Result& r) { return r ? json::parse(r->body) : json(); }

// A connection of its own, for what a well-behaved client never sends.
class RawClient {
public:
    explicit RawClient(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        timeval limit{30, 0};  // no send blocks the test for ever
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;

    // False once the server has closed the connection.
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Whether the server has answered or closed, without waiting.
    bool heard() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
    // What the server sends until it closes (at most a minute of waiting).
    std::string answer() {
        std::string text;
        char buf[4096];
        for (int i = 0; i < 600; ++i) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) == 0) continue;
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }
    static int StatusOf(const std::string& answer) {
        return answer.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(answer.c_str() + 9) : -1;
    }

private:
    int fd_;
};

std::string Nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(EditApi, RefusesForeignHostsOriginsBigBodiesAndUnknownPaths) {
    Editor ed("refusals");
    auto& c = ed.http();
    EXPECT_EQ(Status(c.Get("/api/info")), 200);
    EXPECT_EQ(Status(c.Get("/api/info", {{"Host", "localhost:" + std::to_string(ed.port())}})), 200);
    // A rebound DNS name, another port, no port: all someone else's address.
    for (const std::string& host : {std::string("attacker.example:") + std::to_string(ed.port()),
                                   std::string("127.0.0.1:") + std::to_string(ed.port() + 1), std::string("127.0.0.1"),
                                   std::string("127.0.0.1.evil:") + std::to_string(ed.port())}) {
        const auto r = c.Get("/api/areas", {{"Host", host}});
        EXPECT_EQ(Status(r), 403) << host;
        EXPECT_NE(Body(r)["error"].get<std::string>().find("Host header"), std::string::npos);
        EXPECT_EQ(Status(c.Put("/api/areas", {{"Host", host}}, ClipAreasJson(), "application/json")), 403);
    }
    EXPECT_FALSE(fs::exists(ed.areas()));

    // Writes from another site's page, or without a JSON body type.
    EXPECT_EQ(Status(c.Put("/api/areas", {{"Origin", "http://evil.example"}}, ClipAreasJson(), "application/json")), 403);
    EXPECT_EQ(Status(c.Post("/api/test", "{}", "text/plain")), 415);
    EXPECT_EQ(Status(c.Put("/api/areas", {{"Origin", "http://" + ed.host()}}, ClipAreasJson(), "application/json")), 200);
    const std::string saved = ReadFile(ed.areas());

    std::string big(tarvotool::kMaxRequestBody + 1, ' ');
    big.replace(0, std::strlen(ClipAreasJson()), ClipAreasJson());
    EXPECT_EQ(Status(ed.put(big)), 413);
    EXPECT_EQ(Status(ed.put(big.substr(0, tarvotool::kMaxRequestBody))), 200);  // the limit itself is fine

    for (const char* path : {"/etc/passwd", "/../areas.json", "/api/areas.bak", "/api", "/editor.js.map"})
        EXPECT_EQ(Status(c.Get(path)), 404) << path;
    EXPECT_EQ(Status(c.Delete("/api/areas")), 404);
    EXPECT_EQ(Status(c.Get("/")), 200);
    EXPECT_EQ(Status(c.Get("/editor.js")), 200);
    EXPECT_EQ(ReadFile(ed.areas()), saved);
}

TEST(EditApi, InvalidAreasGetTheParsersMessageAndChangeNothing) {
    Editor ed("invalid");
    const struct {
        std::string body;
        const char* where;
    } cases[] = {
        {R"({"areas": [{"vertices": [[1, 2], [3, 4], [5, 6]]}]})", "$.areas[0].vertices"},
        {R"({"areas": [{"vertices": [[1, 2], [3, 4], [5, 6], [7, 8]], "treshold": 0.2}]})", "unknown key"},
        {R"({"areas": []})", "at least one area"},
        {R"({"areas": [{"vertices": [[1, 2], [3, 4], [5, 6], [7, 99999]]}]})", "$.areas[0].vertices[3][1]"},
        {"{\"areas\": [\n  {,}]}", ":2:4: JSON syntax error"},
    };
    for (const auto& k : cases) {
        std::string expected;
        try {
            tarvotool::ParseAreas(k.body, ed.areas());
        } catch (const tarvotool::ToolError& e) {
            expected = e.what();
        }
        ASSERT_FALSE(expected.empty()) << k.body;
        const auto r = ed.put(k.body);
        EXPECT_EQ(Status(r), 400) << k.body;
        EXPECT_EQ(Body(r)["error"], expected);
        EXPECT_NE(expected.find(k.where), std::string::npos) << expected;
        // Test and rows read the same document with the same parser.
        const auto t = ed.post("/api/test", json{{"areas", json::parse(k.body, nullptr, false)}});
        if (!json::parse(k.body, nullptr, false).is_discarded()) {
            EXPECT_EQ(Status(t), 400) << k.body;
        }
    }
    EXPECT_FALSE(fs::exists(ed.areas()));
    EXPECT_EQ(Status(ed.post("/api/test", json{{"start", -1}})), 400);
    EXPECT_EQ(Status(ed.http().Post("/api/rows", "{not json", "application/json")), 400);
}

TEST(EditApi, SavesAtomicallyKeepingTheLastVersionAsBak) {
    Editor ed("saves");
    auto first = Body(ed.http().Get("/api/areas"));
    EXPECT_FALSE(first["exists"]);
    EXPECT_EQ(first["version"], "");

    const std::string one = R"({"_comment": "kept", "areas": [{"name": "a", "vertices": [[1, 2], [30, 2], [30, 40], [1, 40]], "threshold": 0.25}], "settings": {"frame_count": 7}})";
    auto r = ed.put(one, "");
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_FALSE(Body(r)["overwrote_change"]);
    EXPECT_FALSE(fs::exists(ed.areas() + ".bak"));
    const std::string v1 = Body(r)["version"];
    const std::string text1 = ReadFile(ed.areas());
    // The file is what `run` reads, in the tool's layout, comments kept.
    const tarvotool::AreasConfig c1 = tarvotool::LoadAreasFile(ed.areas());
    ASSERT_EQ(c1.areas.size(), 1u);
    EXPECT_EQ(c1.areas[0].threshold, 0.25f);
    EXPECT_EQ(*c1.frameCount, 7);
    EXPECT_NE(text1.find("\"_comment\": \"kept\""), std::string::npos);
    EXPECT_EQ(Body(ed.http().Get("/api/areas"))["version"], v1);

    r = ed.put(ClipAreasJson(), v1);
    ASSERT_EQ(Status(r), 200);
    EXPECT_FALSE(Body(r)["overwrote_change"]);
    EXPECT_EQ(ReadFile(ed.areas() + ".bak"), text1);
    const std::string v2 = Body(r)["version"];
    EXPECT_NE(v2, v1);
    EXPECT_EQ(tarvotool::LoadAreasFile(ed.areas()).areas.size(), 3u);

    // Another program changes the file: the page's poll sees a new
    // version; a save from the old version still wins and says so.
    WriteFile(ed.areas(), one);
    const json polled = Body(ed.http().Get("/api/areas?version=1"));
    EXPECT_NE(polled["version"], v2);
    EXPECT_FALSE(polled.contains("text"));
    r = ed.put(ClipAreasJson(), v2);
    ASSERT_EQ(Status(r), 200);
    EXPECT_TRUE(Body(r)["overwrote_change"]);
    EXPECT_EQ(ReadFile(ed.areas() + ".bak"), one);

    // An invalid file on disk is reported, not served as coils.
    WriteFile(ed.areas(), "{\"areas\": 3}");
    const json bad = Body(ed.http().Get("/api/areas"));
    EXPECT_TRUE(bad["document"].is_null());
    EXPECT_NE(bad["error"].get<std::string>().find("$.areas: expected an array"), std::string::npos);

    // Only the areas file and its .bak ever appear in the folder.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(ed.dir())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"areas.json", "areas.json.bak"}));
}

// Something put in the areas file's place that is not a regular file (a
// FIFO no one writes to) is refused on every request that reads the
// file, at once, and the editor still stops.
TEST(EditApi, AFifoInPlaceOfTheAreasFileIsRefusedOnEveryRequest) {
    Editor ed("fifo");
    ASSERT_EQ(Status(ed.put(ClipAreasJson(), "")), 200);
    fs::remove(ed.areas());
    ASSERT_EQ(MakeFifo("fifo/areas.json"), ed.areas());
    const FifoRelease release(ed.areas(), 10);
    const std::string refusal = "cannot read areas file '" + ed.areas() + "': it is a FIFO (named pipe), not a regular file";
    const std::vector<std::function<httplib::Result()>> requests = {
        [&] { return ed.http().Get("/api/areas"); }, [&] { return ed.http().Get("/api/areas?version=1"); },
        [&] { return ed.put(ClipAreasJson(), ""); }, [&] { return ed.post("/api/test", json::object()); }};
    for (const auto& request : requests) {
        const httplib::Result r = request();
        ASSERT_TRUE(r);
        EXPECT_GE(r->status, 400);
        EXPECT_EQ(Body(r)["error"], refusal);
    }
    EXPECT_FALSE(release.released()) << "a request waited on the FIFO";
}

TEST(EditApi, TestRunsGiveTheEventsOfRunAndRowsAreTheDetectors) {
    Editor ed("test");
    // With a holdoff on the left coil (its second passage comes 2.4 s after
    // the first) Test lists the triggers `run` reports, not the detector's.
    std::string held = ClipAreasJson();
    const std::string left = "\"threshold\": 0.1}";
    held.replace(held.find(left), left.size(), "\"threshold\": 0.1, \"holdoff\": 2.5}");
    for (const std::string& areasText : {std::string(ClipAreasJson()), held})
    for (const std::vector<std::string>& range : {std::vector<std::string>{}, {"--start", "1.2", "--duration", "2"}}) {
        WriteFile(ed.areas(), areasText);
        std::vector<std::string> args{"run", ClipPath(), "--areas", ed.areas(), "--format", "jsonl"};
        args.insert(args.end(), range.begin(), range.end());
        const CliResult cli = RunCli(args);
        ASSERT_EQ(cli.status, 0) << cli.err;
        json body = json::object();
        if (!range.empty()) body = {{"start", 1.2}, {"duration", 2}};
        const auto r = ed.post("/api/test", body);
        ASSERT_EQ(Status(r), 200) << (r ? r->body : "");
        const auto answer = nlohmann::ordered_json::parse(r->body);
        // Everything but the wall-clock stamp, which tells when each run saw the frame.
        const auto withoutWallTime = [](nlohmann::ordered_json e) {
            EXPECT_TRUE(e.contains("wall_time")) << e.dump();
            e.erase("wall_time");
            return e.dump() + "\n";
        };
        std::string lines, expected;
        for (const auto& e : answer["events"]) lines += withoutWallTime(e);
        std::istringstream cliLines(cli.out);
        for (std::string line; std::getline(cliLines, line);)
            expected += withoutWallTime(nlohmann::ordered_json::parse(line));
        EXPECT_EQ(lines, expected);
        EXPECT_FALSE(answer["events"].empty());
        EXPECT_EQ(answer["frames"], range.empty() ? kClipFrames : 50);
        EXPECT_EQ(answer["margins"].size(), 3u);
        EXPECT_EQ(answer["margins"][0].size(), answer["frames"]);
        EXPECT_TRUE(answer["margins"][0][0].is_null());  // the baseline frame has no margin
    }
    // The page's unsaved coils are what a test runs on.
    const json doc = json::parse(ClipAreasJson());
    json one = doc;
    one["areas"].erase(1);
    const json answer = Body(ed.post("/api/test", json{{"areas", one}}));
    ASSERT_FALSE(answer["events"].empty());
    for (const auto& e : answer["events"]) EXPECT_NE(e["name"], "right");

    const json rows = Body(ed.post("/api/rows", doc))["rows"];
    tarvocoil::Detector det;
    tarvotool::ApplyAreas(det, tarvotool::ParseAreas(ClipAreasJson(), "x"));
    ASSERT_EQ(rows.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const auto expected = det.areaRows(i);
        ASSERT_EQ(rows[i].size(), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k)
            EXPECT_EQ(rows[i][k], json({expected[k].y, expected[k].left, expected[k].right}));
    }
}

TEST(EditApi, FramesInfoAndTruth) {
    const std::string truth = Scratch("truth.csv");
    WriteFile(truth, "frame,area\n999,right\n");
    Editor ed("frames", truth);
    const json info = Body(ed.http().Get("/api/info"));
    EXPECT_EQ(info["width"], kClipWidth);
    EXPECT_EQ(info["height"], kClipHeight);
    EXPECT_EQ(info["fps"], 25.0);
    EXPECT_EQ(info["frames"], kClipFrames);
    EXPECT_EQ(info["truth_file"], truth);

    const auto f = ed.http().Get("/api/frame?t=2.02");
    ASSERT_EQ(Status(f), 200);
    EXPECT_EQ(f->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(f->get_header_value("X-Frame-Time"), "2.000000");  // the frame on screen at 2.02 s
    const std::string png = Scratch("frame.png");
    WriteFile(png, f->body);
    const auto decoded = DecodeAll(png);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].data, MakeClip()[50].data);

    EXPECT_EQ(Status(ed.http().Get("/api/frame?t=abc")), 400);
    EXPECT_EQ(Status(ed.http().Get("/api/frame?t=-1")), 400);
    const auto late = ed.http().Get("/api/frame?t=60");
    EXPECT_EQ(Status(late), 422);
    EXPECT_NE(Body(late)["error"].get<std::string>().find("ends before 60 s"), std::string::npos);

    // The truth lies beyond the clip: every trigger is false, nothing missed.
    WriteFile(ed.areas(), ClipAreasJson());
    const json answer = Body(ed.post("/api/test", json::object()));
    ASSERT_TRUE(answer["truth"].is_object());
    int triggers = 0, falseOnes = 0;
    for (const auto& c : answer["truth"]["coils"]) {
        EXPECT_EQ(c["hits"], 0);
        EXPECT_EQ(c["misses"], 0);
        falseOnes += c["false"].get<int>();
    }
    triggers = static_cast<int>(answer["events"].size());
    EXPECT_EQ(falseOnes, triggers);
}

TEST(EditApi, TruthFramesCountFromTheVideosStartInARangeToo) {
    // The truth: every trigger of a whole run, by coil index.
    WriteFile(Scratch("clip-areas.json"), ClipAreasJson());
    const CliResult cli = RunCli({"run", ClipPath(), "--areas", Scratch("clip-areas.json"), "--format", "jsonl"});
    ASSERT_EQ(cli.status, 0) << cli.err;
    std::string truth = "frame,area\n";
    int total = 0, inRange = 0;
    for (const std::string& line : Lines(cli.out)) {
        const json e = json::parse(line);
        truth += std::to_string(e["frame"].get<int>()) + "," + std::to_string(e["area"].get<int>()) + "\n";
        ++total;
        if (e["frame"] >= 50 && e["frame"] < 100) ++inRange;  // a run from 2 s for 2 s: frames 50..99
    }
    ASSERT_GT(inRange, 0);
    WriteFile(Scratch("truth-all.csv"), truth);
    Editor ed("truth-range", Scratch("truth-all.csv"));
    WriteFile(ed.areas(), ClipAreasJson());
    auto count = [](const json& answer, const char* key) {
        int n = 0;
        for (const auto& c : answer["truth"]["coils"]) n += c[key].get<int>();
        return n;
    };
    const json all = Body(ed.post("/api/test", json::object()));
    EXPECT_EQ(count(all, "hits"), total);
    EXPECT_EQ(count(all, "misses") + count(all, "false"), 0);
    const json part = Body(ed.post("/api/test", json{{"start", 2.0}, {"duration", 2.0}}));
    // Only the entries of frames 50..99 belong to it, and they line up with
    // its own triggers.
    EXPECT_EQ(count(part, "hits") + count(part, "misses"), inRange);
    EXPECT_GT(count(part, "hits"), 0);
    for (const auto& e : part["truth"]["entries"]) EXPECT_LT(e["frame"], 50);
}

TEST(EditApi, TheCommandLineRefusesWhatItCannotServe) {
    CliResult r = RunCli({"edit", Scratch("missing.mkv")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.mkv"), std::string::npos) << r.err;
    r = RunCli({"edit", ClipPath(), "--areas", Scratch("no/such/folder/areas.json"), "--port", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("its folder does not exist"), std::string::npos) << r.err;
    {
        Editor busy("busy");  // its port is taken
        r = RunCli({"edit", ClipPath(), "--areas", busy.areas(), "--port", std::to_string(busy.port())});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot listen on 127.0.0.1:" + std::to_string(busy.port())), std::string::npos) << r.err;
    }
    r = RunCli({"edit", ClipPath(), "--port", "70000"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(tarvotool::DefaultAreasPath("/v/road.mp4"), "/v/road.areas.json");
}

// Nesting that would exhaust the stack of anything walking it recursively
// (the JSON library's own writer among them) is refused where it comes in.
TEST(EditApi, DeeplyNestedJsonIsRefusedWith400WhereverItComesIn) {
    Editor ed("deep");
    const auto rows = ed.http().Post("/api/rows", Nested(100000), "application/json");
    EXPECT_EQ(Status(rows), 400);
    EXPECT_NE(Body(rows)["error"].get<std::string>().find("nested deeper than 64 levels"), std::string::npos);

    const std::string deepComment = "{\"_comment\": " + Nested(40000) + ", \"areas\": " +
                                    json::parse(ClipAreasJson())["areas"].dump() + "}";
    const auto put = ed.put(deepComment);
    EXPECT_EQ(Status(put), 400);
    std::string where = ed.areas() + ": $._comment";  // the array that opens level 65
    for (int level = 2; level <= tarvotool::kMaxJsonDepth; ++level) where += "[0]";
    EXPECT_EQ(Body(put)["error"], where + ": nested deeper than 64 levels (arrays and objects within each other)");
    EXPECT_FALSE(fs::exists(ed.areas()));
    EXPECT_EQ(Status(ed.http().Post("/api/test", "{\"areas\": " + deepComment + "}", "application/json")), 400);

    // Such a file on disk (written by something else) is reported, not served.
    WriteFile(ed.areas(), deepComment);
    const auto got = ed.http().Get("/api/areas");
    ASSERT_EQ(Status(got), 200);
    EXPECT_NE(Body(got)["error"].get<std::string>().find("nested deeper than"), std::string::npos);

    // The limit itself is fine: a comment of 63 levels in the 1 level of the document.
    const std::string atLimit = "{\"_comment\": " + Nested(tarvotool::kMaxJsonDepth - 1) + ", \"areas\": " +
                                json::parse(ClipAreasJson())["areas"].dump() + "}";
    EXPECT_EQ(Status(ed.put(atLimit)), 200);
}

// The 1 MiB limit holds for a body sent in chunks, where no length is
// declared up front, and a body sent to a call that takes none is not read.
TEST(EditApi, TheBodyLimitHoldsWhateverTheFraming) {
    Editor ed("framing");
    const std::string head = "POST /api/rows HTTP/1.1\r\nHost: " + ed.host() +
                             "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    auto chunk = [](const std::string& bytes) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
        return size + bytes + "\r\n";
    };
    {
        RawClient c(ed.port());
        ASSERT_TRUE(c.send(head));
        const std::string piece(64 * 1024, ' ');
        for (int i = 0; i < 48 && c.send(chunk(piece)); ++i) {  // 3 MiB, unless refused before
        }
        c.send("0\r\n\r\n");
        EXPECT_EQ(RawClient::StatusOf(c.answer()), 413);
    }
    {
        // A small chunked body is an ordinary request.
        RawClient c(ed.port());
        const std::string doc = ClipAreasJson();
        ASSERT_TRUE(c.send(head + chunk(doc.substr(0, 100)) + chunk(doc.substr(100)) + "0\r\n\r\n"));
        const std::string answer = c.answer();
        EXPECT_EQ(RawClient::StatusOf(answer), 200) << answer;
    }
    {
        RawClient c(ed.port());
        c.send("POST /elsewhere HTTP/1.1\r\nHost: " + ed.host() + "\r\nTransfer-Encoding: chunked\r\n\r\n" +
               chunk(std::string(1000, 'x')));
        EXPECT_EQ(RawClient::StatusOf(c.answer()), 404);
    }
    RawClient c(ed.port());
    c.send("PUT /api/areas HTTP/1.1\r\nHost: " + ed.host() + "\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(tarvotool::kMaxRequestBody * 200) + "\r\n\r\n{");
    EXPECT_EQ(RawClient::StatusOf(c.answer()), 413);
    EXPECT_FALSE(fs::exists(ed.areas()));
}

// Slow clients are held by one thread that waits for their requests; the
// page is served meanwhile, and they are dropped with 408 in the end. Ten
// send their heads slowly, ten more a body of a declared length.
TEST(EditApi, SlowClientsAreDroppedWhileThePageKeepsAnswering) {
    Editor ed("slowloris");
    constexpr int kSlow = 20;
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < kSlow; ++i) {
        slow.push_back(std::make_unique<RawClient>(ed.port()));
        ASSERT_TRUE(slow.back()->send(i < kSlow / 2 ? "G"
                                                    : "POST /api/rows HTTP/1.1\r\nHost: " + ed.host() +
                                                          "\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n["));
    }
    const std::string trickle = "ET /api/info HTTP/1.1\r\nHost: " + ed.host() + "\r\nX-Slow: " + std::string(200, 'a');
    std::atomic<bool> answered{false};
    std::vector<std::string> answers(kSlow);
    std::thread trickler([&] {
        // One byte each every 200 ms, the head never ending, for at most a minute.
        for (std::size_t step = 0; step < 300 && !answered; ++step) {
            bool all = true;
            for (int i = 0; i < kSlow; ++i) {
                if (!answers[i].empty()) continue;
                all = false;
                if (slow[i]->heard()) answers[i] = slow[i]->answer() + " ";
                else slow[i]->send(i < kSlow / 2 ? trickle.substr(step % trickle.size(), 1) : " ");
            }
            answered = all;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const auto info = ed.http().Get("/api/info");
    bool slowStillHanging = true;
    for (int i = 0; i < kSlow; ++i) slowStillHanging = slowStillHanging && answers[i].empty();
    const auto save = ed.put(ClipAreasJson());
    trickler.join();
    EXPECT_EQ(Status(info), 200);
    EXPECT_EQ(Status(save), 200);
    EXPECT_TRUE(slowStillHanging);
    for (const std::string& a : answers) EXPECT_EQ(RawClient::StatusOf(a), 408) << a;
}

TEST(EditApi, ConnectionsFromOneAddressAreBounded) {
    Editor ed("bounded");
    const int limit = tarvotool::HttpLimits{}.maxConnectionsPerAddress, extra = 5;
    std::vector<std::unique_ptr<RawClient>> open;
    for (int i = 0; i < limit + extra; ++i) open.push_back(std::make_unique<RawClient>(ed.port()));
    // Once the last one is refused, the server has taken them all.
    for (int i = 0; i < 600 && !open.back()->heard(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto& c : open) c->send("GET /api/info HTTP/1.1\r\nHost: " + ed.host() + "\r\n\r\n");
    int ok = 0, refused = 0;
    for (auto& c : open) {
        const int status = RawClient::StatusOf(c->answer());
        ok += status == 200;
        refused += status == 503;
    }
    EXPECT_EQ(ok, limit);
    EXPECT_EQ(refused, extra);
    open.clear();
    EXPECT_EQ(Status(ed.http().Get("/api/info")), 200);
}

// A save writes through a symbolic link to the file it names, keeps the
// file's mode (for FILE.bak too) and leaves a read-only file alone.
TEST(EditApi, SavesKeepLinksAndModes) {
    Editor ed("modes");
    const std::string real = ed.dir() + "/real.json";
    WriteFile(real, ClipAreasJson());
    fs::permissions(real, fs::perms(0600));
    fs::create_symlink("real.json", ed.areas());
    const std::string one = R"({"areas": [{"name": "a", "vertices": [[1, 2], [30, 2], [30, 40], [1, 40]]}]})";
    ASSERT_EQ(Status(ed.put(one)), 200);
    EXPECT_TRUE(fs::is_symlink(ed.areas()));
    EXPECT_EQ(tarvotool::LoadAreasFile(real).areas.size(), 1u);
    auto mode = [](const std::string& path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(real), 0600u);
    EXPECT_EQ(mode(ed.areas() + ".bak"), 0600u);
    EXPECT_EQ(tarvotool::LoadAreasFile(ed.areas() + ".bak").areas.size(), 3u);

    fs::permissions(real, fs::perms(0444));
    const std::string before = ReadFile(real), bakBefore = ReadFile(ed.areas() + ".bak");
    const auto refused = ed.put(ClipAreasJson());
    EXPECT_EQ(Status(refused), 403) << refused->body;
    EXPECT_NE(Body(refused)["error"].get<std::string>().find("read-only (mode 0444)"), std::string::npos);
    EXPECT_EQ(ReadFile(real), before);
    EXPECT_EQ(ReadFile(ed.areas() + ".bak"), bakBefore);
    EXPECT_EQ(mode(real), 0444u);
}

TEST(EditApi, StrictHeadersParametersAndMessages) {
    Editor ed("strict");
    auto& c = ed.http();
    // Without a truth file the tune call says so (not "no such page").
    const auto tune = ed.post("/api/tune", json::object());
    EXPECT_EQ(Status(tune), 404);
    EXPECT_NE(Body(tune)["error"].get<std::string>().find("no truth file"), std::string::npos);
    // Invalid UTF-8: the parser's message, as valid JSON.
    const auto utf = c.Post("/api/rows", "{\"areas\": \"\xff\xfe\"}", "application/json");
    EXPECT_EQ(Status(utf), 400);
    EXPECT_NE(Body(utf)["error"].get<std::string>().find("UTF-8"), std::string::npos);
    EXPECT_EQ(Status(ed.put("{\"areas\": [{\"name\": \"\xc3\", \"vertices\": 1}]}")), 400);
    // Media types are case-insensitive; a longer type is another type.
    EXPECT_EQ(Status(c.Post("/api/rows", ClipAreasJson(), "Application/JSON; charset=utf-8")), 200);
    EXPECT_EQ(Status(c.Post("/api/rows", ClipAreasJson(), "application/jsonx")), 415);
    // Two Host headers, even agreeing ones.
    RawClient twice(ed.port());
    twice.send("GET /api/info HTTP/1.1\r\nHost: " + ed.host() + "\r\nHost: " + ed.host() + "\r\n\r\n");
    EXPECT_EQ(RawClient::StatusOf(twice.answer()), 400);
    for (const char* t : {"0x10", "5%00abc", "inf", "1e", "2,5", "+"}) {
        const auto r = c.Get((std::string("/api/frame?t=") + t).c_str());
        EXPECT_EQ(Status(r), 400) << t;
    }
    EXPECT_EQ(Status(c.Get("/api/frame?t=1e-1")), 200);

    const CliResult bad = RunCli({"edit", ClipPath(), "--areas", ed.areas(), "--host", "127.0.0.1x", "--port", "0"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("not a valid address"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.err.find("in use"), std::string::npos) << bad.err;
    // An address, but not one of this machine (a documentation network).
    const CliResult foreign = RunCli({"edit", ClipPath(), "--areas", ed.areas(), "--host", "192.0.2.1", "--port", "8799"});
    EXPECT_EQ(foreign.status, 1);
    EXPECT_NE(foreign.err.find("cannot listen on 192.0.2.1:8799 (Cannot assign requested address)"), std::string::npos)
        << foreign.err;
}

// What a killed editor leaves is cleared on the next start, and a video
// replaced under a running editor is seen as it is now.
TEST(EditApi, LeftoversOfAKilledSaveAndAReplacedVideo) {
    const std::string dir = Scratch("leftovers");
    fs::create_directories(dir);
    for (const char* name : {"areas.json.tmp-Ab12cD", "areas.json.bak.tmp-xyz789", "areas.json.tmp-keep", "other.tmp-Ab12cD"})
        WriteFile(dir + "/" + name, "{");
    const std::string video = dir + "/video.mkv";
    fs::copy_file(ClipPath(), video);
    tarvotool::EditCommand cmd;
    cmd.video = video;
    cmd.areas = dir + "/areas.json";
    cmd.port = 0;
    tarvotool::EditServer server(cmd);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"areas.json.tmp-keep", "other.tmp-Ab12cD", "video.mkv"}));

    const int port = server.bind();
    std::thread serving([&] { server.serve(); });
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(60, 0);
    EXPECT_EQ(Body(c.Get("/api/info"))["width"], kClipWidth);
    tarvotool::BgrImage small;
    small.resize(64, 48);
    WriteVideo(dir + "/new.mkv", {small, small, small}, "ffv1");
    fs::rename(dir + "/new.mkv", video);
    const json info = Body(c.Get("/api/info"));
    EXPECT_EQ(info["width"], 64);
    EXPECT_EQ(info["height"], 48);
    server.stop();
    serving.join();
}

// The page sends the document back as it loaded it, coils moved: a save
// keeps the traffic keys it does not edit.
TEST(EditApi, SavesKeepTheTrafficKeys) {
    Editor ed("traffic");
    const std::string doc =
        R"({"areas": [{"name": "in", "vertices": [[1, 2], [30, 2], [30, 40], [1, 40]], "length": 2.5, "holdoff": 0.4},)"
        R"( {"name": "out", "vertices": [[1, 60], [30, 60], [30, 90], [1, 90]]}],)"
        R"( "pairs": [{"name": "lane 1", "from": "in", "to": "out", "distance": 6, "max_time": 3}],)"
        R"( "health": {"max_presence": 120}})";
    auto r = ed.put(doc, "");
    ASSERT_EQ(Status(r), 200) << r->body;
    const json saved = json::parse(ReadFile(ed.areas()));
    EXPECT_EQ(saved["areas"][0]["length"], 2.5);
    EXPECT_EQ(saved["areas"][0]["holdoff"], 0.4);
    EXPECT_FALSE(saved["areas"][1].contains("length"));
    EXPECT_EQ(saved["pairs"], json::parse(R"([{"name": "lane 1", "from": "in", "to": "out", "distance": 6, "max_time": 3}])"));
    EXPECT_EQ(saved["health"], json::parse(R"({"max_presence": 120})"));
    // And the page gets them back on loading.
    EXPECT_EQ(Body(ed.http().Get("/api/areas"))["document"]["pairs"], saved["pairs"]);
}

TEST(EditApi, TestAnswersCountsOccupancyAndSpeeds) {
    // The clip's block crosses "left" then "right" twice, 2.4 s apart, at 4
    // pixels a frame: 36 km/h at 0.1 m a pixel. The holdoff on "left"
    // suppresses its second trigger, leaving the second "right" unmatched.
    const std::string doc = R"({"areas": [
        {"name": "left", "vertices": [[20, 30], [60, 30], [60, 70], [20, 70]], "length": 4.0, "holdoff": 3.0},
        {"name": "right", "vertices": [[95, 30], [135, 32], [133, 70], [95, 68]], "length": 4.0}],
      "pairs": [{"name": "lane", "from": "left", "to": "right", "distance": 7.5}]})";
    WriteFile(Scratch("pair-areas.json"), doc);
    const CliResult cli =
        RunCli({"run", ClipPath(), "--areas", Scratch("pair-areas.json"), "--trace", Scratch("pair-trace.jsonl")});
    ASSERT_EQ(cli.status, 0) << cli.err;
    // Per coil from the tool's trace: detection frames, present ones, triggers.
    int frames[2] = {0, 0}, present[2] = {0, 0}, raw[2] = {0, 0};
    for (const std::string& line : Lines(ReadFile(Scratch("pair-trace.jsonl")))) {
        const json r = json::parse(line);
        if (r["kind"] != "detect") continue;
        const int a = r["area"].get<int>();
        ++frames[a];
        present[a] += r["present"].get<bool>() ? 1 : 0;
        raw[a] += r["result"].get<int>();
    }
    ASSERT_EQ(raw[0], 2);

    Editor ed("traffic-test");
    const json answer = Body(ed.post("/api/test", json{{"areas", json::parse(doc)}}));
    const json& t = answer["traffic"];
    ASSERT_EQ(t["coils"].size(), 2u);
    for (int a = 0; a < 2; ++a) {
        const json& c = t["coils"][a];
        EXPECT_EQ(c["frames"], frames[a]);
        EXPECT_EQ(c["count"].get<int>() + c["suppressed"].get<int>(), raw[a]);
        EXPECT_DOUBLE_EQ(c["occupancy"].get<double>(), static_cast<double>(present[a]) / frames[a]);
        EXPECT_EQ(c["health"], "ok");
    }
    EXPECT_EQ(t["coils"][0]["suppressed"], 1);
    ASSERT_EQ(t["vehicles"].size(), 1u);
    const json& v = t["vehicles"][0];
    EXPECT_EQ(v["pair"], "lane");
    EXPECT_NEAR(v["speed_kmh"].get<double>(), 36.0, 36.0 * 0.08);
    EXPECT_TRUE(v["length_m"].is_number());
    const json& p = t["pairs"][0];
    EXPECT_EQ(p["vehicles"], 1);
    EXPECT_EQ(p["unmatched_to"], 1);
    EXPECT_DOUBLE_EQ(p["mean_speed_kmh"].get<double>(), v["speed_kmh"].get<double>());

    // Without pairs the coils still have their counts, and no vehicle.
    const json plain = Body(ed.post("/api/test", json{{"areas", json::parse(ClipAreasJson())}}));
    EXPECT_EQ(plain["traffic"]["coils"].size(), 3u);
    EXPECT_TRUE(plain["traffic"]["pairs"].empty() && plain["traffic"]["vehicles"].empty());
}
