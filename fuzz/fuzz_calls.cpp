// fuzz_calls.cpp - libFuzzer entry point; the harness is in calls_harness.h.
#include "fuzz/calls_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    trvfuzz::RunCallsInput(data, size);
    return 0;
}
