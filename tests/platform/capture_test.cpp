// The runner's capture through its taps: the lines' protocols learnt from
// the status message the board sent, a RAWoS run ended by the line's own
// silence, a line heard before any status, a datagram; read back by tshark.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostcapture.h"
#include "hostlink_codec.h"
#include "process.h"
#include "tshark.h"

namespace {

constexpr uint64_t MS = 1000000;

TEST(HostCapture, SerialLinesTakeTheProtocolTheirGroupsStatusNames)
{
    const std::string file = makeTempDir() + "/board.pcapng";
    std::string option = "--capture";
    std::vector<char*> argv = {const_cast<char*>("zok2gw"), option.data(),
                               const_cast<char*>(file.c_str())};
    int i = 1;
    bool ok = false;
    ASSERT_TRUE(hostCaptureTakeOption(3, argv.data(), i, ok));
    ASSERT_TRUE(ok);
    ASSERT_TRUE(hostCaptureStart());

    // Group 0's status: line 1 BAC-M, line 2 RAWoS with an 80 ms silence.
    std::vector<uint8_t> status;
    ASSERT_TRUE(
        hostlink::parseHex("96E1020000000001FFFFFF00C0A80101C0A8010A0000000000000000"
                           "000008000000582900000510000D",
                           status));
    const std::vector<uint8_t> frame = hostlink::encodeFrame({1024, 0, 1024, 0, status});
    const std::vector<uint8_t> fill(frame.size(), hostlink::kFill);
    hostCaptureHostLink(1, fill.data(), frame.data(), frame.size(), 1 * MS);
    uint64_t t = 10 * MS;
    for (uint8_t b : {0x85, 0x10, 0x06}) hostCaptureSerialByte(1, false, b, t += MS);
    for (uint8_t b : {'x', 'y'}) hostCaptureSerialByte(2, true, b, t += MS);
    hostCaptureSerialByte(2, true, 'z', t += 60 * MS);  // within the line's 80 ms
    hostCaptureSerialByte(3, true, 'q', t += MS);       // its group never said
    const uint8_t hi[] = {'h', 'i'};
    hostCaptureDatagram(1, false, 0x7F001402, 5000, 0x7F000001, 6000, hi, sizeof hi, t += MS);
    hostCapturePoll(t + 100 * MS);
    hostCaptureStop();
    hostCaptureSerialByte(3, true, 'w', t += MS);  // after the stop: nothing more

    const std::string out =
        tshark(file, {"-T", "fields", "-E", "separator=|", "-e", "frame.interface_name", "-e",
                      "zok2.dir", "-e", "zok2.unit", "-e", "zok2.cfg.address", "-e",
                      "zok2.rawos.data", "-e", "udp.srcport", "-e", "frame.time_relative"});
    EXPECT_EQ(
        "host link 1|1|1|192.168.1.10|||0.000000000\n"
        "sci1|1|4||||0.012000000\n"
        "eth1|||||5000|0.076000000\n"
        "sci2|0|6||78797a||0.074000000\n"
        "sci3|0|6||71||0.075000000\n",
        out);
}

}  // namespace
