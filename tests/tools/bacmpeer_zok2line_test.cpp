// zok2line end to end, in real time: two instances joined through a PTY
// that the first one creates, one per end of a BAC-M link (master and slave)
// or of a RAWoS line, each sending the lines of its input and printing what
// it receives. Bounds are generous; the tests wait for output, never sleep
// for a fixed margin.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "process.h"

namespace {

constexpr int kLimitMs = 20000;

const std::string kProgram = std::string(ZOK2_TOOLS_DIR) + "/zok2line";

// One running zok2line, its standard input on a pipe.
class Line : public Background {
public:
    explicit Line(std::vector<std::string> args)
        : Background(makeTempDir(), withProgram(args), true)
    {}
    bool WaitFor(const std::string& needle) const { return Background::WaitFor(needle, kLimitMs); }
    int Wait() { return Background::Wait(kLimitMs); }
    // The PTY the instance created, from its "zok2line: pty PATH" line.
    std::string PtyPath() const { return WaitForMatch("zok2line: pty (\\S+)\n", kLimitMs, Err); }

private:
    static std::vector<std::string> withProgram(std::vector<std::string> args)
    {
        args.insert(args.begin(), kProgram);
        return args;
    }
};

class Zok2lineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__arm__)
        // Under qemu-user a test cannot start another target program; the
        // end-to-end runs belong to the host build.
        GTEST_SKIP() << "zok2line runs end to end on the host build only";
#endif
        struct stat st;
        ASSERT_EQ(stat(kProgram.c_str(), &st), 0) << kProgram << " is not built";
    }
};

TEST_F(Zok2lineTest, BacmMasterAndSlaveExchangeMessagesOverAPty)
{
    // Long time-outs: a loaded machine must not cause repeats.
    Line master({"--pty", "--master", "--addr", "0x05", "--rate", "115200", "--recv-timeout",
                 "1000", "--linger", "500"});
    const std::string path = master.PtyPath();
    ASSERT_FALSE(path.empty()) << master.Stderr();
    Line slave({"--device", path, "--slave", "--addr", "5", "--rate", "115200", "--parity", "even",
                "--recv-timeout", "1000", "--linger", "500"});
    ASSERT_TRUE(master.WaitFor("link up\n")) << master.Stdout() << master.Stderr();
    ASSERT_TRUE(slave.WaitFor("link up\n")) << slave.Stdout() << slave.Stderr();

    master.Write("hello\n!hex 41 10 42\n");
    slave.Write("world\n");
    EXPECT_TRUE(slave.WaitFor("rx 5: 68 65 6c 6c 6f  |hello|\nrx 3: 41 10 42  |A.B|\n"))
        << slave.Stdout();
    EXPECT_TRUE(master.WaitFor("rx 5: 77 6f 72 6c 64  |world|\n")) << master.Stdout();

    master.Write("!stats\n");
    EXPECT_TRUE(master.WaitFor("info sent 2 (repeated 0), received 1\n")) << master.Stdout();
    master.Write("!hex 4x\n");
    EXPECT_TRUE(master.WaitFor("error: bad hex bytes\n")) << master.Stdout();
    master.Write("!quit\n");
    EXPECT_EQ(master.Wait(), 0);
    // The slave hears nothing more: it lingers, then ends with its input.
    slave.CloseInput();
    slave.Wait();
    EXPECT_EQ(slave.Stdout().find("rx", slave.Stdout().find("|A.B|")), std::string::npos)
        << slave.Stdout();
}

TEST_F(Zok2lineTest, RawosEndsExchangeLinesCutBySilence)
{
    // On a PTY the receiver dates bytes when it reads them, so the silence it
    // sees is shorter than the sent one by however late it was scheduled for
    // the first message. The sender's gap exceeds the receiver's by a second:
    // that much lateness still leaves a silence longer than the receiver's gap.
    Line a({"--pty", "--protocol", "rawos", "--rate", "38400", "--gap", "1020", "--linger", "300"});
    const std::string path = a.PtyPath();
    ASSERT_FALSE(path.empty()) << a.Stderr();
    Line b({"--device", path, "--protocol", "rawos", "--rate", "38400", "--gap", "20", "--hex",
            "--linger", "300"});
    // The second end flushes the line when it opens it, so it speaks first.
    b.Write("!hex 00 10 02 ff\n");
    ASSERT_TRUE(a.WaitFor("rx 4: 00 10 02 ff  |....|\n")) << a.Stdout() << a.Stderr();
    // Lines written at once still leave as separate messages.
    a.Write("ping\npong\n");
    EXPECT_TRUE(b.WaitFor("rx 4: 70 69 6e 67\n")) << b.Stdout() << b.Stderr();
    EXPECT_TRUE(b.WaitFor("rx 4: 70 6f 6e 67\n")) << b.Stdout() << b.Stderr();
    EXPECT_EQ(b.Stdout().find("rx 8"), std::string::npos) << b.Stdout();
    EXPECT_TRUE(a.WaitFor("link up\n")) << a.Stdout();
    a.CloseInput();
    b.CloseInput();
    EXPECT_EQ(a.Wait(), 0);
    b.Wait();
}

TEST_F(Zok2lineTest, RefusesBadOptions)
{
    Line bad({"--device", "/dev/null", "--protocol", "xmodem"});
    EXPECT_EQ(bad.Wait(), 2);
    Line noDevice({"--device", "/nonexistent/tty", "--rate", "9600"});
    EXPECT_EQ(noDevice.Wait(), 1);
    Line badRate({"--pty", "--rate", "12345"});
    EXPECT_EQ(badRate.Wait(), 1);
    EXPECT_NE(badRate.Stderr().find("unsupported bit rate 12345"), std::string::npos)
        << badRate.Stderr();
}

}  // namespace
