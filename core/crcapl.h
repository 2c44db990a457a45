// CRC-8 (host-link frames), CRC-16 (serial-line frames) and the 8-bit
// add-and-rotate checksum (configuration messages). Pure and table-driven,
// safe from any task or interrupt handler.
#pragma once

#include <array>
#include <cstdint>

class Crc {
public:
    static uint8_t ByteCalc8bitsCrc(uint8_t crc, uint8_t byte) { return TabCRC8[crc ^ byte]; }
    static uint16_t ByteCalc16bitsCrc(uint16_t crc, uint8_t byte)
    {
        return static_cast<uint16_t>(TabCRC16[static_cast<uint8_t>((crc >> 8) ^ byte)] ^
                                     static_cast<uint16_t>(crc << 8));
    }
    static uint8_t Calc8bitsCrc(uint8_t initial, uint32_t length, const uint8_t* data);
    static uint16_t Calc16bitsCrc(uint16_t initial, uint32_t length, const uint8_t* data);
    static uint8_t Calc8bitsChecksum(uint32_t length, const uint8_t* data);

    static const std::array<uint8_t, 256> TabCRC8;
    static const std::array<uint16_t, 256> TabCRC16;
};
