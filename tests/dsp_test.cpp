#include <gtest/gtest.h>
TEST(Dsp, Placeholder) {}
