// The application's version record, shown in the banner and carried by the
// configuration status message.
#pragma once

#include <cstdint>

class AppSwVer {
public:
    static const char* const Name;
    static const char* const Version;
    static const char* const Date;
    static const char* const Copyright;

    // Low four bits of the first character of Version.
    static uint8_t GetMajorDigit();
    // Low four bits of the third character of Version.
    static uint8_t GetMinorDigit();
    // Fifth and sixth characters of Version as two BCD digits, fifth high.
    static uint8_t GetRevision();
};
