#include <gtest/gtest.h>
#include "tarvocoil.hpp"
TEST(Smoke, Builds) { tarvocoil::Detector d; EXPECT_EQ(d.areaCount(), 0); }
