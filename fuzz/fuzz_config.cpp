// Fuzz target of the configuration path: messages from the host links (and
// other sources) through the router's configuration loop, its format check
// and the configuration handler, which builds the groups' gates, with host
// links coming up in between. Every input starts from an unconfigured board.
// The first input byte chooses the mode: bit 0 fixes up the checksum (last
// byte) of every message, bit 1 writes the two leading bytes every
// configuration message starts with. Input after it: records of an
// operation byte and its arguments (below).
#include "configapl.h"
#include "crcapl.h"
#include "fuzzboard.h"
#include "fuzzharness.h"

namespace {

enum OP_E : uint8_t {
    OP_MESSAGE = 0,  // source byte, length byte, stale byte, then the message bytes
    OP_PASS = 1,     // one pass of the configuration loop
    OP_LINK = 2,     // host link (bit 3) up or down (bit 4): the connection callback
    NUM_OPS = 3,
};

// The source byte: its low three bits pick the sender, bit 7 another port.
constexpr SOURCES_E SENDERS[] = {SOURCE_SPI1, SOURCE_SPI2, SOURCE_SPI1, SOURCE_SPI2,
                                 SOURCE_ZOK1, SOURCE_ZOK2, SOURCE_ETH0, SOURCE_SCI3};
constexpr uint8_t SENDER_MASK = 0x07;
constexpr uint8_t OTHER_PORT_BIT = 0x80;
constexpr uint16_t OTHER_PORT = 0xDA07;  // 2010, as a BD holds it
constexpr uint8_t LINK_BIT = 0x08;
constexpr uint8_t DOWN_BIT = 0x10;
constexpr uint8_t MODE_CHECKSUM = 0x01;
constexpr uint8_t MODE_HEADER = 0x02;
constexpr size_t IN_BM = 1;

void fixUp(fuzz::Bytes& msg, uint8_t mode)
{
    if ((mode & MODE_HEADER) != 0 && msg.size() > IN_BM) {
        msg[0] = BC_CONFIG_MSG;
        msg[IN_BM] = BM_CONFIG_MSG;
    }
    if ((mode & MODE_CHECKSUM) != 0 && !msg.empty()) {
        const auto last = static_cast<uint32_t>(msg.size() - 1);
        msg[last] = Crc::Calc8bitsChecksum(last, msg.data());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::StartBoard();
    fuzz::StartInput();
    fuzz::RestoreBoard();
    fuzz::Reader in(data, size);
    const uint8_t mode = in.Byte();
    fuzz::BoardWatch watch;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % NUM_OPS) {
        case OP_MESSAGE: {
            const uint8_t from = in.Byte();
            const size_t len = in.Byte();
            const uint8_t stale = in.Byte();
            fuzz::Bytes msg = in.Take(len);
            fixUp(msg, mode);
            fuzz::PostMessage(SENDERS[from & SENDER_MASK],
                              (from & OTHER_PORT_BIT) != 0 ? OTHER_PORT : PORT_CONFIG, msg.data(),
                              static_cast<uint32_t>(msg.size()), stale);
            break;
        }
        case OP_PASS:
            fuzz::RouteConfig();
            break;
        case OP_LINK:
            Config::SpiConnectionHandler((op & LINK_BIT) != 0 ? SOURCE_SPI2 : SOURCE_SPI1,
                                         (op & DOWN_BIT) != 0 ? LINK_DOWN : LINK_UP);
            break;
        default:
            break;
        }
        watch.Check();
        fuzz::DrainConsole();
    }
    fuzz::RouteConfig();
    fuzz::ReturnDelivered();
    fuzz::CheckPool(true);
    return 0;
}
