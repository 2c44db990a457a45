// Test entry: death tests re-execute the binary, since the firmware under
// test may have started threads (simulated tasks, model I/O threads).
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
