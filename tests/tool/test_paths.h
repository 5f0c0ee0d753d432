// test_paths.h - where this build put what the tests run and read.
//
// The values live in a source the build generates (test_paths.cpp in the
// build folder), not in compiler definitions: the test sources then do not
// depend on the build folder's path, and a compiler cache shared between
// checkouts serves them all.
#ifndef TARVOCOIL_TESTS_TOOL_TEST_PATHS_H
#define TARVOCOIL_TESTS_TOOL_TEST_PATHS_H

namespace tooltest {

extern const char* const kCliPath;       // the built tarvocoil program
extern const char* const kExamplesDir;   // the repository's examples/

}  // namespace tooltest

#endif
