// Test entry: death tests re-execute the binary, since the firmware under
// test may have started threads (simulated tasks, model I/O threads). Under
// a user-mode emulator the binary cannot be re-executed, so they only fork.
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
#ifdef ZOK2_EMULATED_TARGET
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    return RUN_ALL_TESTS();
}
