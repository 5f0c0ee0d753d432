// gst_test_main.cpp - GStreamer set up for the element tests: the plugin
// from the build tree, and a registry cache of the test's own.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    char dir[] = "/tmp/tarvocoil-gst-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("GST_REGISTRY", (std::string(dir) + "/registry.bin").c_str(), 1);
    setenv("GST_PLUGIN_PATH", TARVOCOIL_GST_PLUGIN_DIR, 1);
    gst_init(&argc, &argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
