// The runner as a person starts it: start-up output, a clean stop and the
// fatal path.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "e2etest.h"
#include "hostkernel.h"

namespace {
TEST(Runner, MainTaskCreationFailureIsFatalWithItsCode)
{
    const std::string dir = makeTempDir();
    const ProcessResult r = runProcess(
        {ZOK2GW_PATH, "--run-dir", dir, "--watchdog", "exit", "--fail-task-create", "main"},
        kToolMs);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(hostExitStatusForFatal(-10), r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("\r\nFATAL ERROR: code= -10 module= main.cpp file= main.cpp line= "))
        << r.out;
}

TEST(Runner, AttachmentsPrecedeTheBannerAndACleanStopLeavesAnEmptyRunFolder)
{
    const std::string dir = makeTempDir();
    // Standard error joined to standard output (the console), so that their
    // order shows; stopped as soon as the banner begins.
    const ProcessResult r =
        runProcess({"/bin/sh", "-c", "exec \"$0\" --run-dir \"$1\" 2>&1", ZOK2GW_PATH, dir},
                   kToolMs, "\r\n*** ");
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(0, r.status) << r.out;
    const size_t banner = r.out.find("\r\n*** ");
    for (const char* line : {"UART 0 (console) on", "UART 3 (sci3) on", "host link 1 (SPI1) on",
                             "host link 2 (SPI2) on"}) {
        EXPECT_LT(r.out.find(line), banner) << line << " in\n" << r.out;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "PTY links and sockets of the runner";
}

TEST(Runner, MissingEthernetInterfaceStopsStartUpAfterTheDiscoveryTime)
{
    const std::string dir = makeTempDir();
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = runProcess(
        {ZOK2GW_PATH, "--run-dir", dir, "--watchdog", "exit", "--eth1", "zok2-missing0"}, kToolMs);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(hostExitStatusForFatal(-40), r.status);
    EXPECT_NE(std::string::npos, r.err.find("Ethernet 1: Linux interface zok2-missing0")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("FATAL ERROR: code= -40 module= ethapl.cpp")) << r.out;
    // The board waits one second for its interfaces before it gives up.
    EXPECT_GE(elapsed, std::chrono::seconds(1));
}

TEST(Runner, UnknownOptionIsRefusedWithUsage)
{
    const ProcessResult r = runProcess({ZOK2GW_PATH, "--no-such-option"}, kToolMs);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("usage:"));
}
}  // namespace
