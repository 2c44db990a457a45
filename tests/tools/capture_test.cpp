// The capture of the board's edges: the cutters on hand-made streams (what
// is one unit, what is stray, what a silence ends), and a capture written
// with every kind of unit read back by tshark with our dissector, which
// must name each one, decode its fields and flag the damaged ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "capturecut.h"
#include "edgecapture.h"
#include "hostconfig.h"
#include "hostlink_codec.h"
#include "process.h"
#include "tshark.h"

namespace {

using Bytes = std::vector<uint8_t>;
using capture::Direction;

constexpr uint64_t MS = 1000000;

struct Cut {
    Bytes unit;
    uint64_t timeNs;
    bool operator==(const Cut& o) const { return unit == o.unit && timeNs == o.timeNs; }
};

std::ostream& operator<<(std::ostream& os, const Cut& c)
{
    return os << hostlink::toHex(c.unit) << " @" << c.timeNs;
}

TEST(CaptureCut, HostLinkStreamsCutIntoTheUnitsThatCrossed)
{
    const Bytes frame = hostlink::encodeFrame({2010, 0x0A500001, 2010, 0x0A500010, {0x61}});
    Bytes badCrc = frame;
    badCrc.back() ^= 0x01;
    struct Case {
        const char* name;
        std::vector<Bytes> chunks;  // fed at 1, 2, 3... ms
        std::vector<Cut> units;
    };
    const Case cases[] = {
        {"fill dropped, frame split over chunks, keep-alive",
         {{0x16, 0x16},
          Bytes(frame.begin(), frame.begin() + 5),
          Bytes(frame.begin() + 5, frame.end()),
          {0x16, 0x10, 0x06, 0x16}},
         {{frame, 3 * MS}, {{0x10, 0x06}, 4 * MS}}},
        {"a bad CRC is still one frame", {badCrc}, {{badCrc, 1 * MS}}},
        {"stray bytes, a repeated DLE before the type",
         {{0x41, 0x42, 0x16, 0x10, 0x10, 0x06}},
         {{{0x41, 0x42}, 1 * MS}, {{0x10, 0x10, 0x06}, 1 * MS}}},
        {"DLE STX inside a text ends the frame and starts the next",
         {{0x10, 0x02, 0x01, 0x10, 0x02, 0x07}, {0x10, 0x03, 0x55}},
         {{{0x10, 0x02, 0x01}, 1 * MS}, {{0x10, 0x02, 0x07, 0x10, 0x03, 0x55}, 2 * MS}}},
        {"DLE ACK inside a text, a broken escape",
         {{0x10, 0x02, 0x01, 0x10, 0x06, 0x10, 0x02, 0x10, 0x41, 0x16}},
         {{{0x10, 0x02, 0x01}, 1 * MS},
          {{0x10, 0x06}, 1 * MS},
          {{0x10, 0x02, 0x10, 0x41}, 1 * MS}}},
        {"a frame cut short is handed on at the end",
         {{0x10, 0x02, 0x01}},
         {{{0x10, 0x02, 0x01}, 1 * MS}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Cut> got;
        capture::HostLinkCutter cutter([&](const Bytes& u, uint64_t t) { got.push_back({u, t}); });
        uint64_t t = 0;
        for (const Bytes& chunk : c.chunks) cutter.feed(chunk.data(), chunk.size(), t += MS);
        cutter.flush();
        EXPECT_EQ(c.units, got);
    }
    // Runs of one byte, as the runner hands the idle fill on: dropped
    // between units, kept whole inside a text.
    std::vector<Cut> got;
    capture::HostLinkCutter cutter([&](const Bytes& u, uint64_t t) { got.push_back({u, t}); });
    const Bytes start = {0x10, 0x02, 0x01}, end = {0x10, 0x03, 0x55};
    cutter.feedRun(0x16, 500, 1 * MS);
    cutter.feed(start.data(), start.size(), 2 * MS);
    cutter.feedRun(0x16, 3, 3 * MS);
    cutter.feed(end.data(), end.size(), 4 * MS);
    cutter.feedRun(0x41, 2, 5 * MS);
    cutter.feedRun(0x16, 9, 6 * MS);
    cutter.flush();
    EXPECT_EQ((std::vector<Cut>{{{0x10, 0x02, 0x01, 0x16, 0x16, 0x16, 0x10, 0x03, 0x55}, 4 * MS},
                                {{0x41, 0x41}, 6 * MS}}),
              got);
}

TEST(CaptureCut, SerialStreamsCutByFramingAndSilence)
{
    // Bytes 1 ms apart unless a gap is given; the gap that ends a unit is 20 ms.
    struct Byte {
        uint8_t value;
        uint64_t afterMs = 1;
    };
    struct Case {
        const char* name;
        bool bacm;
        std::vector<Byte> bytes;
        std::vector<Cut> units;
    };
    const Case cases[] = {
        {"BAC-M INFO with a doubled DLE, ACK, NACK",
         true,
         {{0x81},
          {0x10},
          {0x02},
          {0x10},
          {0x10},
          {0x10},
          {0x03},
          {0xAA},
          {0xBB},
          {0x05},
          {0x10},
          {0x06},
          {0x05, 50},
          {0x10},
          {0x15}},
         {{{0x81, 0x10, 0x02, 0x10, 0x10, 0x10, 0x03, 0xAA, 0xBB}, 9 * MS},
          {{0x05, 0x10, 0x06}, 12 * MS},
          {{0x05, 0x10, 0x15}, 64 * MS}}},
        {"BAC-M noise before an address, a packet broken off by silence",
         true,
         {{0x41},
          {0x42},
          {0x05},
          {0x10},
          {0x06},
          {0x05},
          {0x10},
          {0x02},
          {0x61},
          {0x05, 30},
          {0x10},
          {0x06}},
         {{{0x41, 0x42}, 5 * MS},
          {{0x05, 0x10, 0x06}, 5 * MS},
          {{0x05, 0x10, 0x02, 0x61}, 9 * MS},
          {{0x05, 0x10, 0x06}, 41 * MS}}},
        {"BAC-M DLE STX or DLE ACK inside a text: the packet the receiver takes",
         true,
         {{0x05}, {0x10}, {0x02}, {0x61}, {0x62}, {0x05}, {0x10}, {0x02}, {0x63}, {0x10},
          {0x03}, {0xC1}, {0xC2}, {0x05}, {0x10}, {0x02}, {0x64}, {0x05}, {0x10}, {0x06}},
         {{{0x05, 0x10, 0x02, 0x61, 0x62}, 8 * MS},
          {{0x05, 0x10, 0x02, 0x63, 0x10, 0x03, 0xC1, 0xC2}, 13 * MS},
          {{0x05, 0x10, 0x02, 0x64}, 20 * MS},
          {{0x05, 0x10, 0x06}, 20 * MS}}},
        {"RAWoS runs end with a silence longer than the gap",
         false,
         {{0x61}, {0x62}, {0x63, 20}, {0x64, 21}, {0x65}},
         {{{0x61, 0x62, 0x63}, 22 * MS}, {{0x64, 0x65}, 44 * MS}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Cut> got;
        const auto sink = [&](const Bytes& u, uint64_t t) { got.push_back({u, t}); };
        capture::BacmCutter bacm(sink, 20 * MS);
        capture::RawosCutter rawos(sink, 20 * MS);
        uint64_t t = 0;
        for (const Byte& b : c.bytes) {
            t += b.afterMs * MS;
            c.bacm ? bacm.feed(b.value, t) : rawos.feed(b.value, t);
        }
        // A silence ends the last unit without another byte.
        c.bacm ? bacm.poll(t + 21 * MS) : rawos.poll(t + 21 * MS);
        EXPECT_EQ(c.units, got);
    }
}

TEST(Capture, TsharkWithOurDissectorNamesAndChecksEveryUnit)
{
    const std::string file = makeTempDir() + "/edges.pcapng";
    capture::EdgeCapture cap;
    std::string error;
    ASSERT_TRUE(cap.open(file, "capture_test", &error)) << error;
    const int link = cap.addHostLink("host link 1");
    const int sci1 = cap.addSerialLine("sci1", capture::SerialProtocol::Bacm, 20 * MS);
    const int sci2 = cap.addSerialLine("sci2", capture::SerialProtocol::Rawos, 20 * MS);
    const int eth0 = cap.addEthernet("eth0");

    // The worked example: group 0 at 192.168.1.10, line 1 BAC-M address 5.
    Bytes config;
    ASSERT_TRUE(
        hostlink::parseHex("96E1000000000000FFFFFF00C0A80101C0A8010A000000000000000000"
                           "0008000000582900000500 0022",
                           config));
    Bytes badConfig = config;
    badConfig[16] ^= 0x01;
    const auto link1 = [&](Direction d, const Bytes& b, uint64_t ms) {
        cap.hostLinkBytes(link, d, b.data(), b.size(), ms * MS);
    };
    link1(Direction::Inbound, {0x16, 0x10, 0x06, 0x16}, 1);
    link1(Direction::Outbound, {0x10, 0x06}, 2);
    link1(Direction::Inbound, hostlink::encodeFrame({1024, 0, 1024, 0, config}), 3);
    link1(Direction::Inbound, hostlink::encodeFrame({1024, 0, 1024, 0, badConfig}), 4);
    Bytes flipped = hostlink::encodeFrame({2010, 0x0A500001, 2010, 0x0A500010, {0x10, 0x41}});
    flipped[17] ^= 0x04;  // the payload's 0x41 becomes 0x45 on the way
    link1(Direction::Inbound, flipped, 5);
    link1(Direction::Outbound, hostlink::encodeFrame({2010, 0x0A500010, 2010, 0x0A500001, {0x61}}),
          6);
    // BAC-M: the board (slave 5) sends "abc" as INFO, a flipped copy, the
    // master NACKs the damaged one and ACKs the repeat.
    const Bytes info = {0x85, 0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0xF6, 0x1C};
    Bytes infoFlipped = info;
    infoFlipped[4] ^= 0x01;
    uint64_t t = 10 * MS;
    const auto line1 = [&](Direction d, const Bytes& b) {
        for (uint8_t v : b) cap.serialByte(sci1, d, v, t += MS);
        t += 30 * MS;
    };
    line1(Direction::Outbound, infoFlipped);
    line1(Direction::Inbound, {0x05, 0x10, 0x15});
    line1(Direction::Outbound, info);
    line1(Direction::Inbound, {0x05, 0x10, 0x06});
    for (uint8_t v : Bytes{'x', 'y'}) cap.serialByte(sci2, Direction::Inbound, v, t += MS);
    const Bytes hello = {'h', 'i'};
    cap.datagram(eth0, Direction::Inbound, 0x7F000001, 5000, 0xC0A8010A, 2003, hello.data(),
                 hello.size(), t += MS);
    // The RAWoS run ends by silence, not by the close: it lands after the
    // datagram in the file, in its own time.
    cap.poll(t + 100 * MS);
    // Read while the writer is still open: the file is whole at every packet.
    const std::string out = tshark(file, {"-o", "udp.check_checksum:TRUE",
                                          "-o", "ip.check_checksum:TRUE",
                                          "-T", "fields",
                                          "-E", "separator=|",
                                          "-e", "frame.interface_name",
                                          "-e", "zok2.dir",
                                          "-e", "zok2.unit",
                                          "-e", "zok2.crc_ok",
                                          "-e", "zok2.cfg.checksum_ok",
                                          "-e", "zok2.dst_port",
                                          "-e", "zok2.cfg.address",
                                          "-e", "zok2.cfg.protocol",
                                          "-e", "zok2.cfg.interchar_ms",
                                          "-e", "zok2.bacm.type",
                                          "-e", "zok2.bacm.text",
                                          "-e", "zok2.rawos.data",
                                          "-e", "udp.checksum.status",
                                          "-e", "_ws.expert.message"});
    const std::string expected =
        "host link 1|0|2|||||||||||\n"
        "host link 1|1|2|||||||||||\n"
        "host link 1|0|1|1|1|1024|192.168.1.10|0,1|0,80|||||\n"
        "host link 1|0|1|1|0|1024|193.168.1.10|0,1|0,80|||||Checksum 0x22, computed 0x24\n"
        "host link 1|0|1|0||2010||||||||Bad CRC 0xC0, computed 0x5E\n"
        "host link 1|1|1|1||2010||||||||\n"
        "sci1|1|3|0||||||0x02|616363|||Bad CRC 0xF61C, computed 0x80A8\n"
        "sci1|0|5|||||||0x15||||\n"
        "sci1|1|3|1||||||0x02|616263|||\n"
        "sci1|0|4|||||||0x06||||\n"
        "eth0||||||||||||1|\n"  // the checksum is good
        "sci2|0|6|||||||||7879||\n";
    EXPECT_EQ(expected, out);
    cap.close();
    EXPECT_EQ(12u, cap.units());
}

}  // namespace
