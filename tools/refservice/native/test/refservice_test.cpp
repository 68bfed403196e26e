#include <gtest/gtest.h>
TEST(RefService, Builds) {}
