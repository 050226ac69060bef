#include <gtest/gtest.h>
#include "terminal/link.h"
TEST(Link, StartsClosed) { EXPECT_EQ(gTermFD, -1); }
