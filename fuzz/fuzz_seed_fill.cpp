// fuzz_seed_fill.cpp - libFuzzer entry point; the harness is in seed_fill_harness.h.
#include "fuzz/seed_fill_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    trvfuzz::RunSeedFillInput(data, size);
    return 0;
}
