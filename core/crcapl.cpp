// CRC tables, built by the compiler from the polynomials, and block forms.
#include "crcapl.h"

namespace {

constexpr uint8_t CRC8_POLY_REFLECTED = 0x8C;  // x^8 + x^5 + x^4 + 1, reflected
constexpr uint16_t CRC16_POLY = 0x1021;        // x^16 + x^12 + x^5 + 1, MSB first

constexpr std::array<uint8_t, 256> makeCrc8()
{
    std::array<uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t c = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1u) != 0 ? static_cast<uint8_t>((c >> 1) ^ CRC8_POLY_REFLECTED)
                              : static_cast<uint8_t>(c >> 1);
        }
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint16_t, 256> makeCrc16()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 0x8000u) != 0 ? static_cast<uint16_t>((c << 1) ^ CRC16_POLY)
                                   : static_cast<uint16_t>(c << 1);
        }
        t[i] = c;
    }
    return t;
}

static_assert(makeCrc8()[1] == 0x5E && makeCrc8()[7] == 0x83, "CRC-8 table");
static_assert(makeCrc16()[1] == 0x1021 && makeCrc16()[3] == 0x3063, "CRC-16 table");

}  // namespace

// Constant data, filled by the compiler.
const std::array<uint8_t, 256> Crc::TabCRC8 = makeCrc8();
const std::array<uint16_t, 256> Crc::TabCRC16 = makeCrc16();

uint8_t Crc::Calc8bitsCrc(uint8_t initial, uint32_t length, const uint8_t* data)
{
    uint8_t crc = initial;
    for (uint32_t i = 0; i < length; ++i) {
        crc = ByteCalc8bitsCrc(crc, data[i]);
    }
    return crc;
}

uint16_t Crc::Calc16bitsCrc(uint16_t initial, uint32_t length, const uint8_t* data)
{
    uint16_t crc = initial;
    for (uint32_t i = 0; i < length; ++i) {
        crc = ByteCalc16bitsCrc(crc, data[i]);
    }
    return crc;
}

uint8_t Crc::Calc8bitsChecksum(uint32_t length, const uint8_t* data)
{
    uint8_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t t = static_cast<uint8_t>(sum + data[i]);
        // Rotating makes the sum depend on the byte order.
        sum = static_cast<uint8_t>((t << 1) | (t >> 7));
    }
    return sum;
}
