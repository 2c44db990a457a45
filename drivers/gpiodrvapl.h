// GPIO driver: one general-purpose pin of the six GPIO modules, described by a
// 32-bit configuration word (port, pin, direction, initial output level).
// Config runs at start-up in the task that owns the pin; afterwards each pin is
// driven from one task only (Toggle is a read then a write, not atomic).
// Register access is the SoC GPIO library's; this driver owns only the table
// of opened modules.
#pragma once

#include <cstdint>

// Configuration word layout.
constexpr uint32_t GPIO_CFG_PIN_NUM_MASK = 0x000000FFu;
constexpr uint32_t GPIO_CFG_PIN_NUM_SHIFT = 0;
constexpr uint32_t GPIO_CFG_PORT_NUM_MASK = 0x0000FF00u;
constexpr uint32_t GPIO_CFG_PORT_NUM_SHIFT = 8;
constexpr uint32_t GPIO_CFG_IO_MASK = 0x00FF0000u;
constexpr uint32_t GPIO_CFG_IO_LSB = 16;
constexpr uint32_t GPIO_CFG_OUTPUT = 0;
constexpr uint32_t GPIO_CFG_INPUT = 0x00010000u;
constexpr uint32_t GPIO_CFG_OUT_BIT = 19;
constexpr uint32_t GPIO_CFG_OUT_LOW = 0;
constexpr uint32_t GPIO_CFG_OUT_HIGH = 0x00080000u;
constexpr uint32_t GPIO_CFG_IN_TYPE_MASK = 0x00060000u;
constexpr uint32_t GPIO_CFG_IN_TYPE_LSB = 17;
constexpr uint32_t GPIO_CFG_OUT_TYPE_MASK = 0x00060000u;
constexpr uint32_t GPIO_CFG_OUT_TYPE_LSB = 17;
constexpr uint32_t GPIO_CFG_OUT_STRENGTH_MASK = 0x00F00000u;
constexpr uint32_t GPIO_CFG_OUT_STRENGTH_LSB = 20;
constexpr uint32_t GPIO_CFG_INT_MASK = 0x07000000u;
constexpr uint32_t GPIO_CFG_INT_LSB = 24;
constexpr uint32_t GPIO_PIN_VAL_LOW = 0;
constexpr uint32_t GPIO_PIN_VAL_HIGH = 1;

constexpr uint32_t NUM_OF_PORTS = 6;
constexpr uint32_t NUM_OF_PINS_PORT = 32;

// Named pins of the board, all outputs.
constexpr uint32_t HEALTH_LED = 0x0008060Cu;    // port 6 pin 12, starts high
constexpr uint32_t TEST_POINT4 = 0x0000051Cu;   // port 5 pin 28, router configuration loop
constexpr uint32_t TEST_POINT5 = 0x0000051Du;   // port 5 pin 29, router steady loop
constexpr uint32_t TEST_POINT6 = 0x00000503u;   // port 5 pin 3, unused
constexpr uint32_t TEST_POINT7 = 0x00000613u;   // port 6 pin 19, unused
constexpr uint32_t M0_SP336E_U8 = 0x0008040Eu;  // transceiver U8 mode selects
constexpr uint32_t M1_SP336E_U8 = 0x00080411u;
constexpr uint32_t M2_SP336E_U8 = 0x00080609u;
constexpr uint32_t M0_SP336E_U9 = 0x00080414u;  // transceiver U9 mode selects
constexpr uint32_t M1_SP336E_U9 = 0x00080415u;
constexpr uint32_t M2_SP336E_U9 = 0x0008060Du;

struct GPIO_HWATTRS_T {
    uint32_t baseAddr;
    uint32_t line1IntNum;  // carried for interrupt-driven use; not used by the driver
    uint32_t line2IntNum;
    uint32_t line1EventId;
    uint32_t line2EventId;
};

enum GPIO_STATES_E : uint8_t {
    GPIO_CLOSED = 0,
    GPIO_OPENED = 1,
};

class GpioDrv {
public:
    // Sets nothing: Config must run before any other operation.
    GpioDrv() {}

    // Decodes the word, enables the module on its first use and sets the pin
    // up; an output is driven to its initial level before it becomes an
    // output. Pin above 31 or port outside 1..6 is fatal (invalid argument).
    void Config(uint32_t flags);
#ifdef ZOK2_TEST_HOOKS
    // Test and fuzz builds only, after a peripheral reset: every module
    // disabled again, so that the next Config enables it, as at power-up.
    static void Restart();
#endif
    uint32_t Read();
    void Set();
    void Clear();
    void Write(uint32_t value);
    // Inverts the level the pin is driven to.
    void Toggle();

private:
    uint32_t baseAddr;        // register base of the pin's module
    uint32_t pinNumber;       // 0..31
    uint32_t operationFlags;  // configuration word with its low 16 bits cleared
};
