// fuzz_raster.cpp - libFuzzer entry point; the harness is in raster_harness.h.
#include "fuzz/raster_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    trvfuzz::RunRasterInput(data, size);
    return 0;
}
