# TestOptimisation.cmake - how hard the compiler works on test programs.
#
# The tests' own sources (GoogleTest, the HTTP and JSON libraries' templates,
# clip helpers) take most of the build's time at -O2, and under the
# sanitizers even more, while their speed matters little: the code they
# check, the library and the tool, keeps its build type's optimisation.
# Measured on edit_api_test.cpp: natively 15.4 s at -O2 against 6.7 s at -Og;
# under AddressSanitizer + UndefinedBehaviorSanitizer 44.5 s at -O1 against
# 15.4 s at -O0 (which also instruments every access). Included at the top
# of each test folder's CMakeLists, so that it applies to the targets there.
if(NOT DEFINED TARVOCOIL_TEST_OPTIMISE)
  if(TARVOCOIL_SANITIZE)
    set(_trv_test_opt -O0)
  else()
    set(_trv_test_opt -Og)
  endif()
  set(TARVOCOIL_TEST_OPTIMISE ${_trv_test_opt} CACHE STRING
      "Optimisation flag for the test programs' own sources (empty: the build type's)")
endif()
if(TARVOCOIL_TEST_OPTIMISE AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(${TARVOCOIL_TEST_OPTIMISE})
endif()
