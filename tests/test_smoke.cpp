#include <gtest/gtest.h>
#include "test_support.h"
TEST(Smoke, AlgVersionIsOne) { EXPECT_EQ(AlgVersion(), 1); }
