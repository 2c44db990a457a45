// zok2host's capture of one host link against the runner, read back by
// tshark with our dissector: every unit once, in order, decoded; and a
// capture whose writer was killed mid-run is readable up to its last unit.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include "e2etest.h"
#include "tshark.h"

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST(CaptureE2E, Zok2hostCapturesWhatTheHostLinkCarried)
{
    Runner board;
    ASSERT_EQ(board.Link(1), board.Endpoint(1));
    const std::string file = board.dir + "/link1.pcapng";
    std::string out;
    ASSERT_TRUE(board.Configure(1, "127.0.10.1", "127.0.10.2",
                                {"--bacm-addr", "5", "--capture", file}, out))
        << out;
    const std::vector<std::string> fields = {"-T", "fields",
                                             "-E", "separator=|",
                                             "-e", "frame.interface_name",
                                             "-e", "zok2.dir",
                                             "-e", "zok2.unit",
                                             "-e", "zok2.crc_ok",
                                             "-e", "zok2.cfg.checksum_ok",
                                             "-e", "zok2.cfg.address",
                                             "-e", "zok2.cfg.bacm_addr"};
    // To the board: keep-alives and the one configuration message; from it
    // keep-alives and each status message zok2host printed, the last one
    // configured. Nothing broken, nothing stray.
    std::string toBoard;
    std::vector<std::string> statuses;
    for (const std::string& l : lines(tshark(file, fields))) {
        SCOPED_TRACE(l);
        if (l == "host link 1|0|2||||" || l == "host link 1|1|2||||") continue;
        if (l.rfind("host link 1|0|", 0) == 0) {
            toBoard += l + "\n";
        } else {
            ASSERT_EQ(0u, l.rfind("host link 1|1|1|1|1|", 0));
            statuses.push_back(l);
        }
    }
    EXPECT_EQ("host link 1|0|1|1|1|127.0.10.2|0x05\n", toBoard);
    EXPECT_EQ(count(out, "frame to 0.0.0.0:1024"), statuses.size()) << out;
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ("host link 1|1|1|1|1|127.0.10.2|0x05", statuses.back());

    // Killed while it runs: the file holds every unit up to then, whole. A
    // second configuration makes the board answer with the first one's
    // status, and zok2host waits on after it.
    const std::string killed = board.dir + "/killed.pcapng";
    Background monitor(makeTempDir(),
                       {toolPath("zok2host"), "--link", board.Link(1), "--capture", killed, "send",
                        "--to", "0.0.0.0:1024", "--hex",
                        "96E1000000000000FFFFFF00C0A80101C0A8010A00000000000000000000080000005829"
                        "0000050000 22",
                        "--wait", "600000"});
    ASSERT_TRUE(monitor.WaitFor("status: group configured", kStartMs)) << monitor.Stderr();
    monitor.Signal(SIGKILL);
    const std::string after = tshark(killed, {"-Y", "zok2.dir == 1 && zok2.cfg.address"});
    EXPECT_NE(std::string::npos, after.find("Status message, address 127.0.10.2")) << after;
}

}  // namespace
