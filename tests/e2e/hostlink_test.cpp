// The runner's host links from outside: the client library and the
// zok2host program on the sockets the runner announces, Unix and TCP;
// link start-up, reconnection, one master at a time, and the tool's
// refusals. Real time with generous bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2etest.h"
#include "hostlink_client.h"

namespace {

TEST(HostLinkE2E, LinksOnUnixAndTcpTakeOneMasterAtATimeAndZok2hostTalksOnThem)
{
    Runner board({"--console", "pty", "--watchdog", "exit", "--spi2", "tcp:127.0.0.1:0"});
    const std::string endpoint = board.Endpoint(1);
    EXPECT_EQ(board.Link(1), endpoint);
    const std::string tcp = board.Endpoint(2);
    ASSERT_EQ(0u, tcp.rfind("tcp:127.0.0.1:", 0)) << tcp;
    EXPECT_NE("tcp:127.0.0.1:0", tcp);
    for (const std::string& e : {endpoint, tcp}) {
        SCOPED_TRACE(e);
        hostlink::Client client;
        std::string error;
        ASSERT_TRUE(client.connect(e, &error)) << error;
        EXPECT_TRUE(client.waitLink(true, kLinkMs));
        const hostlink::LinkStats s = client.stats();
        // The board's first word may be its keep-alive or the status message
        // it posts for the group when the link comes up.
        EXPECT_GE(s.connectionsReceived + s.framesReceived, 1u);
        EXPECT_EQ(0u, s.crcErrors + s.formatErrors + s.shortTexts);
    }
    {
        hostlink::Client first;
        ASSERT_TRUE(first.connect(endpoint));
        ASSERT_TRUE(first.waitLink(true, kLinkMs));
        hostlink::Client second;
        second.connect(endpoint);
        EXPECT_TRUE(pollUntil(kLinkMs, [&] { return !second.connected(); }))
            << "a second master is turned away";
        EXPECT_TRUE(first.connected());
    }
    // Both gone: a reconnection finds the link running.
    for (int i = 0; i < 2; ++i) {
        hostlink::Client again;
        ASSERT_TRUE(again.connect(endpoint));
        EXPECT_TRUE(again.waitLink(true, kLinkMs)) << "connection " << i;
    }

    const std::string tool = toolPath("zok2host");
    std::string out;
    EXPECT_TRUE(runTool({tool, "--link", endpoint, "send", "--to", "10.80.0.1:2010", "--from",
                         "10.80.0.16:2010", "--text", "abc", "--wait", "100"},
                        out))
        << out;
    EXPECT_NE(std::string::npos, out.find("board link up")) << out;
    EXPECT_TRUE(runTool({tool, "--link", endpoint, "config",
                         "96 E1 00 00 00 00 00 00 FF FF FF 00 C0 A8 01 01 C0 A8 01 0A 00 00 00 00 "
                         "00 00 00 00 00 00 08 00 00 00 58 29 00 00 05 00 00 22",
                         "--wait", "100"},
                        out))
        << out;

    // Monitoring runs until interrupted, then ends cleanly.
    const ProcessResult r = runProcess({tool, "--link", tcp, "monitor"}, 2500);
    EXPECT_FALSE(r.exited);
    EXPECT_NE(std::string::npos, r.err.find("board link up")) << r.err;
}

TEST(HostLinkE2E, Zok2hostRefusesBadArgumentsAndAnAbsentBoard)
{
    const std::string tool = toolPath("zok2host");
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::string nowhere = makeTempDir() + "/none.sock";
    const Case cases[] = {
        {{tool}, 2},
        {{tool, "send", "--to", "10.80.0.1", "--text", "x"}, 2},
        {{tool, "send", "--to", "10.80.0.1:2010", "--hex", "0g"}, 2},
        {{tool, "send", "--to", "10.80.0.1:2010", "--hex", std::string(2 * 1469, 'a')}, 2},
        {{tool, "config", "96E"}, 2},
        {{tool, "--link", nowhere, "monitor"}, 1},
    };
    for (const Case& c : cases) {
        const ProcessResult r = runProcess(c.args, kToolMs);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(c.status, r.status) << c.args.back() << ": " << r.err;
    }
}

}  // namespace
