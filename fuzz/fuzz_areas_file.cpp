// fuzz_areas_file.cpp - libFuzzer entry point; the harness is in areas_file_harness.h.
#include "fuzz/areas_file_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    trvfuzz::RunAreasFileInput(data, size);
    return 0;
}
