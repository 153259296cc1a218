#include <gtest/gtest.h>
TEST(E2E, Exe) { EXPECT_TRUE(std::string(NOTES_EXE).size() > 0); }
