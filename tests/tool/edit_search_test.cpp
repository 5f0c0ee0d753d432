// edit_search_test.cpp - the editor's Search: started, followed, cancelled
// and finished through its API, served in this process on a loopback port.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/tool/tool_test_util.h"
#include "tools/edit/edit_server.h"

using namespace tooltest;
using nlohmann::json;

namespace {

json Poll(httplib::Client& http) {
    // Bounded: a search of the small clip ends within seconds.
    for (int i = 0; i < 1200; ++i) {
        const auto r = http.Get("/api/search");
        if (!r) return json();
        const json s = json::parse(r->body);
        if (s["state"] != "running") return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return json();
}

}  // namespace

TEST(EditSearch, StartsCancelsAndAppliesAsTheCommandLine) {
    const std::string dir = Scratch("edit-search");
    std::filesystem::create_directories(dir);
    WriteFile(dir + "/areas.json", ClipAreasJson());
    WriteFile(dir + "/truth.csv", "frame,area\n7,0\n26,1\n62,2\n67,0\n86,1\n");
    tarvotool::EditCommand cmd;
    cmd.video = ClipPath();
    cmd.areas = dir + "/areas.json";
    cmd.truth = dir + "/truth.csv";
    cmd.port = 0;
    tarvotool::EditServer server(cmd);
    const int port = server.bind();
    std::thread serving([&] { server.serve(); });
    httplib::Client http("127.0.0.1", port);
    http.set_read_timeout(60, 0);

    EXPECT_EQ(json::parse(http.Get("/api/search")->body)["state"], "idle");
    // Cancelled at once: the search stops within a frame and changes nothing.
    auto started = http.Post("/api/search", "{}", "application/json");
    ASSERT_TRUE(started);
    EXPECT_EQ(started->status, 202) << started->body;
    const auto cancelled = http.Post("/api/search/cancel", "{}", "application/json");
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->status, 200);
    json s = Poll(http);
    EXPECT_EQ(s["state"], "cancelled") << s.dump();
    EXPECT_FALSE(s.contains("result"));

    // Left to run: the command line's result for the same file.
    started = http.Post("/api/search", "{}", "application/json");
    ASSERT_TRUE(started);
    EXPECT_EQ(started->status, 202) << started->body;
    s = Poll(http);
    ASSERT_EQ(s["state"], "done") << s.dump();
    const json& r = s["result"];
    EXPECT_EQ(r["thresholds"].size(), 3u);
    EXPECT_TRUE(r["settings"].contains("front_light")) << r.dump();

    const std::string out = dir + "/searched.json";
    const CliResult cli = RunCli({"tune", ClipPath(), "--areas", cmd.areas, "--truth", cmd.truth, "--search", "--out", out});
    ASSERT_EQ(cli.status, 0) << cli.err;
    // The same search: it ends where no untried neighbour is left, or at the budget.
    EXPECT_NE(cli.out.find("candidates: " + r["candidates"].dump() + " run"), std::string::npos) << cli.out;
    const json file = json::parse(ReadFile(out));
    for (std::size_t a = 0; a < 3; ++a) EXPECT_EQ(file["areas"][a]["threshold"], r["thresholds"][a]) << a;
    for (const auto& [key, value] : r["settings"].items()) EXPECT_EQ(file["settings"][key], value) << key;

    server.stop();
    serving.join();
}
