#include <gtest/gtest.h>

#include "crcapl.h"

namespace {
const auto* kCheck = reinterpret_cast<const uint8_t*>("123456789");
constexpr uint32_t kCheckLen = 9;

TEST(Crc, CheckValuesOfBothCrcsAndTheRotatingChecksum)
{
    EXPECT_EQ(0xA1, Crc::Calc8bitsCrc(0x00, kCheckLen, kCheck));
    EXPECT_EQ(0x0B, Crc::Calc8bitsCrc(0xFF, kCheckLen, kCheck));
    EXPECT_EQ(0x31C3, Crc::Calc16bitsCrc(0x0000, kCheckLen, kCheck));
    EXPECT_EQ(0x29B1, Crc::Calc16bitsCrc(0xFFFF, kCheckLen, kCheck));
    // An empty block gives the initial value.
    EXPECT_EQ(0x5A, Crc::Calc8bitsCrc(0x5A, 0, kCheck));
    EXPECT_EQ(0x1234, Crc::Calc16bitsCrc(0x1234, 0, kCheck));

    const uint8_t single = 0x80;
    EXPECT_EQ(0x00, Crc::Calc8bitsChecksum(0, &single));
    EXPECT_EQ(0x01, Crc::Calc8bitsChecksum(1, &single));
    EXPECT_EQ(0x57, Crc::Calc8bitsChecksum(3, reinterpret_cast<const uint8_t*>("abc")));
    EXPECT_EQ(0x30, Crc::Calc8bitsChecksum(kCheckLen, kCheck));
}
}  // namespace
