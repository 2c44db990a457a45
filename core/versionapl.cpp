// Version texts of the application.
#include "versionapl.h"

namespace {
constexpr uint8_t LOW_NIBBLE = 0x0F;
constexpr uint32_t POS_MAJOR = 0;
constexpr uint32_t POS_MINOR = 2;
constexpr uint32_t POS_REVISION_HIGH = 4;
constexpr uint32_t POS_REVISION_LOW = 5;
}  // namespace

const char* const AppSwVer::Name = "Application Software for ZOK2/AM437x";
const char* const AppSwVer::Version = "1.0.00_beta4";
const char* const AppSwVer::Date = "2018-03-27";
const char* const AppSwVer::Copyright = "(c) ZOK2 Communication Systems. All rights reserved.";

uint8_t AppSwVer::GetMajorDigit() { return static_cast<uint8_t>(Version[POS_MAJOR] & LOW_NIBBLE); }

uint8_t AppSwVer::GetMinorDigit() { return static_cast<uint8_t>(Version[POS_MINOR] & LOW_NIBBLE); }

uint8_t AppSwVer::GetRevision()
{
    return static_cast<uint8_t>(((Version[POS_REVISION_HIGH] & LOW_NIBBLE) << 4) |
                                (Version[POS_REVISION_LOW] & LOW_NIBBLE));
}
