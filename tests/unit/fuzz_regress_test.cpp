// The fuzz harnesses' seed corpora (fuzz/corpus/) and saved crash inputs
// (tests/regress/), each replayed through the harness code the fuzzers run,
// so that they stay fixed without a fuzzer. A failed harness check throws
// here instead of aborting, and the test reports where.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "fuzz/calls_harness.h"
#include "fuzz/raster_harness.h"
#include "fuzz/seed_fill_harness.h"
#include "tests/regress/fuzz_inputs.h"
#if defined(TARVOCOIL_FUZZ_AREAS_FILE)
#include "fuzz/areas_file_harness.h"
#endif

namespace {

using trvfuzz::FuzzInput;
using trvfuzz::kFuzzInputCount;
using trvfuzz::kFuzzInputs;

class CheckFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void ThrowOnFailure(const char* file, int line, const char* what) {
    throw CheckFailed(std::string(file) + ":" + std::to_string(line) + ": fuzz check failed: " + what);
}

// Runs one input; false when no harness of that name is compiled in.
bool Replay(const FuzzInput& in) {
    const std::string harness = in.harness;
    if (harness == "calls") {
        trvfuzz::RunCallsInput(in.data, in.size);
    } else if (harness == "raster") {
        trvfuzz::RunRasterInput(in.data, in.size);
    } else if (harness == "seed_fill") {
        trvfuzz::RunSeedFillInput(in.data, in.size);
#if defined(TARVOCOIL_FUZZ_AREAS_FILE)
    } else if (harness == "areas_file") {
        trvfuzz::RunAreasFileInput(in.data, in.size);
#endif
    } else {
        return false;
    }
    return true;
}

class FuzzReplay : public ::testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override {
        previous_ = trvfuzz::failHandler();
        trvfuzz::failHandler() = &ThrowOnFailure;
    }
    void TearDown() override { trvfuzz::failHandler() = previous_; }

private:
    trvfuzz::FailHandler previous_ = nullptr;
};

TEST_P(FuzzReplay, PassesEveryHarnessCheck) {
    const FuzzInput& in = kFuzzInputs[GetParam()];
    try {
        EXPECT_TRUE(Replay(in)) << "no harness named " << in.harness;
    } catch (const std::exception& e) {
        ADD_FAILURE() << in.origin << " input " << in.name << " of " << in.harness << ": " << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Fuzz, FuzzReplay, ::testing::Range<std::size_t>(0, kFuzzInputCount),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             const FuzzInput& in = kFuzzInputs[info.param];
                             return std::string(in.harness) + "_" + in.origin + "_" + in.name;
                         });

// The inputs really are compiled in: a glob that found nothing would leave
// the replays above silently empty.
TEST(FuzzInputs, EveryHarnessHasItsCorpusAndTheCrashInputs) {
    std::size_t seeds[4] = {0, 0, 0, 0}, callsRegress = 0;
    const char* names[4] = {"calls", "raster", "seed_fill", "areas_file"};
    for (std::size_t i = 0; i < kFuzzInputCount; ++i) {
        const FuzzInput& in = kFuzzInputs[i];
        for (int h = 0; h < 4; ++h)
            if (std::string(in.harness) == names[h] && std::string(in.origin) == "seed") ++seeds[h];
        if (std::string(in.harness) == "calls" && std::string(in.origin) == "regress") ++callsRegress;
    }
    EXPECT_GE(seeds[0], 5u);
    EXPECT_GE(seeds[1], 5u);
    EXPECT_GE(seeds[2], 5u);
#if defined(TARVOCOIL_FUZZ_AREAS_FILE)
    EXPECT_GE(seeds[3], 5u);
#endif
    EXPECT_GE(callsRegress, 1u);
}

}  // namespace
