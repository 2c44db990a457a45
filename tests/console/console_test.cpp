// Console channel: the formatter byte for byte against the transmit FIFO,
// the number field's bound, the FIFOs' limits, the console task handing keys
// to the callback, and the print entry points before and after dcInit.

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "bdapl.h"
#include "consoleapl.h"
#include "dcapl.h"
#include "errcodes.h"
#include "exmapl.h"
#include "fwtest.h"
#include "hostuart.h"
#include "soc_uart.h"
#include "taskapl.h"

namespace {

std::vector<uint8_t> gKeys;
void recordKey(uint8_t key) { gKeys.push_back(key); }

::Console* makeConsole()
{
    CONSOLE_CONFIG_T c;
    c.recvCallback = recordKey;
    return new ::Console(c);
}

// Everything in the transmit FIFO, taken as the UART driver would.
std::string drain(::Console& con)
{
    std::string out;
    uint8_t b = 0;
    while (con.TxDataHandler(b) == EC_SUCCESS) out.push_back(static_cast<char>(b));
    return out;
}

std::string fmt(::Console& con, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    con.Send(format, args);
    va_end(args);
    return drain(con);
}

class ConsoleTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        gKeys.clear();
        con = makeConsole();
    }
    ::Console* con = nullptr;
};

TEST_F(ConsoleTest, FormatterByteForByteAndTheNumberFieldBound)
{
    EXPECT_EQ("a\r\nb", fmt(*con, "a\nb"));
    EXPECT_EQ("\r\n\r\n*** x ***\r\n", fmt(*con, "\n\n*** %s ***\n", "x"));
    EXPECT_EQ("tab\there\r", fmt(*con, "tab\there\r"));  // nothing else is translated
    EXPECT_EQ("4294967295", fmt(*con, "%10u", 4294967295u));
    EXPECT_EQ("         0", fmt(*con, "%10u", 0u));
    EXPECT_EQ("         7", fmt(*con, "%10u", 7u));
    EXPECT_EQ("FF", fmt(*con, "%x", 255u));
    EXPECT_EQ("10", fmt(*con, "%p", reinterpret_cast<void*>(uintptr_t{16})));
    // %p takes the whole pointer: all 64 bits on a 64-bit host.
    const uintptr_t wide = static_cast<uintptr_t>(0x7FFE123489ABCDEFull);
    EXPECT_EQ(sizeof(void*) > sizeof(uint32_t) ? "7FFE123489ABCDEF 5" : "89ABCDEF 5",
              fmt(*con, "%p %d", reinterpret_cast<void*>(wide), 5));
    EXPECT_EQ("0000BEEF", fmt(*con, "%08X", 0xBEEFu));
    EXPECT_EQ("05 AB ", fmt(*con, "%02x %02x ", 5u, 0xABu));
    EXPECT_EQ("-2147483648", fmt(*con, "%d", static_cast<int32_t>(0x80000000u)));
    EXPECT_EQ("2147483647", fmt(*con, "%d", 2147483647));
    EXPECT_EQ("0", fmt(*con, "%d", 0));
    EXPECT_EQ("-0042", fmt(*con, "%05d", -42));
    EXPECT_EQ("  -42", fmt(*con, "%5d", -42));
    EXPECT_EQ("-42", fmt(*con, "%3d", -42));
    // Flags -, # and + only choose the space pad: no left justification, sign or prefix.
    EXPECT_EQ("    3", fmt(*con, "%-5d", 3));
    EXPECT_EQ("   FF", fmt(*con, "%#5x", 255u));
    EXPECT_EQ("    3", fmt(*con, "%+5d", 3));
    // After the one flag, a 0 is the first digit of the width.
    EXPECT_EQ("    3", fmt(*con, "%-05d", 3));
    EXPECT_EQ("10.80.0.1 : 2010", fmt(*con, "%d.%d.%d.%d : %d", 10, 80, 0, 1, 2010));

    // Pad counts outside 1..14 give no padding; the field stays within 16.
    EXPECT_EQ("7", fmt(*con, "%16u", 7u));                // pad count 15
    EXPECT_EQ("              7", fmt(*con, "%15u", 7u));  // pad count 14
    EXPECT_EQ("12345", fmt(*con, "%20u", 12345u));
    EXPECT_EQ("-42", fmt(*con, "%018d", -42));
    // Pad counts within 1..14 whose field would pass 16 characters are cut
    // to the field: the buffer is 16 characters whatever the width.
    EXPECT_EQ("           12345", fmt(*con, "%19u", 12345u));
    EXPECT_EQ("      4294967295", fmt(*con, "%24u", 4294967295u));
    EXPECT_EQ("-000000000000042", fmt(*con, "%017d", -42));
    EXPECT_EQ("    -2147483648", fmt(*con, "%15d", static_cast<int32_t>(0x80000000u)));
    EXPECT_EQ("     -2147483648", fmt(*con, "%25d", static_cast<int32_t>(0x80000000u)));

    struct Guarded {
        char field[::Console::LEN_NUMBER_FIELD];
        char guard[16];
    };
    for (uint32_t width = 0; width < 64; ++width) {
        for (uint32_t value : {0u, 7u, 12345u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            for (uint32_t variant = 0; variant < 4; ++variant) {  // sign, then base
                const uint32_t negative = variant % 2, base = variant < 2 ? 10 : 16;
                Guarded g;
                std::memset(&g, 'G', sizeof(g));
                const uint32_t len = ::Console::ConvertVal(value, base, negative, width,
                                                           negative != 0 ? '0' : ' ', g.field);
                ASSERT_LE(len, ::Console::LEN_NUMBER_FIELD) << width << " " << value;
                ASSERT_EQ(std::string(16, 'G'), std::string(g.guard, 16)) << width << " " << value;
            }
        }
    }

    EXPECT_EQ("ab   ", fmt(*con, "%5s", "ab"));
    EXPECT_EQ("ab   ", fmt(*con, "%05s", "ab"));
    EXPECT_EQ("abcdef", fmt(*con, "%3s", "abcdef"));
    EXPECT_EQ("(null)", fmt(*con, "%s", static_cast<const char*>(nullptr)));
    EXPECT_EQ("(null)  |", fmt(*con, "%8s|", static_cast<const char*>(nullptr)));
    EXPECT_EQ("x", fmt(*con, "%5c", 'x'));
    EXPECT_EQ("\r\n", fmt(*con, "%c", '\n'));
    EXPECT_EQ("%", fmt(*con, "%%"));
    EXPECT_EQ("100%", fmt(*con, "%d%05%", 100));
    // An unknown conversion takes no argument.
    EXPECT_EQ("?7", fmt(*con, "%q%d", 7));
    EXPECT_EQ("?u", fmt(*con, "%lu", 5u));
    // A format ending inside a conversion sends one question mark.
    EXPECT_EQ("abc?", fmt(*con, "abc%"));
    EXPECT_EQ("?", fmt(*con, "%0"));
    EXPECT_EQ("x?", fmt(*con, "x%-12"));
    EXPECT_EQ("5?", fmt(*con, "%d%5", 5));
}

TEST_F(ConsoleTest, TransmitFifoHolds8192SendsStopAtZeroOrAFullFifoAndNullArgumentsAreFatal)
{
    for (uint32_t i = 0; i < ::Console::LEN_FIFO_TX_DATA - 1; ++i) {
        ASSERT_EQ(EC_SUCCESS, con->Send(static_cast<uint8_t>('a' + i % 26)));
    }
    // A line feed may lose its second half: CR stored, LF refused.
    EXPECT_EQ(EC_FAIL, con->Send(static_cast<uint8_t>('\n')));
    EXPECT_EQ(EC_FAIL, con->Send(static_cast<uint8_t>('z')));
    const std::string out = drain(*con);
    ASSERT_EQ(::Console::LEN_FIFO_TX_DATA, out.size());
    EXPECT_EQ('\r', out.back());
    EXPECT_EQ('a', out[0]);
    // Indices wrapped: the FIFO works on after being full.
    EXPECT_EQ("again\r\n", fmt(*con, "again\n"));
    uint8_t untouched = 0x5A;
    EXPECT_EQ(EC_FAIL, con->TxDataHandler(untouched));
    EXPECT_EQ(0x5A, untouched);

    const uint8_t text[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(EC_SUCCESS, con->Send(4, text));
    EXPECT_EQ("ab", drain(*con));
    EXPECT_EQ(EC_SUCCESS, con->Send(1, text));
    EXPECT_EQ("a", drain(*con));

    const std::vector<uint8_t> big(::Console::LEN_FIFO_TX_DATA + 10, 'x');
    EXPECT_EQ(EC_FAIL, con->Send(static_cast<uint32_t>(big.size()), big.data()));
    EXPECT_EQ(::Console::LEN_FIFO_TX_DATA, drain(*con).size());

    uint8_t storage[16];
    BD bd(sizeof(storage), storage);
    const uint8_t hi[] = {'h', 'i'};
    bd.Copy(sizeof(hi), hi);
    EXPECT_EQ(EC_SUCCESS, con->Send(&bd));
    EXPECT_EQ("hi", drain(*con));

    const char* const argument = "FATAL ERROR: code= -20 module= consoleapl.cpp";
    EXPECT_FATAL(con->Send(3, nullptr), EC_ERROR_INVALID_ARGUMENT, argument);
    EXPECT_FATAL(con->Send(static_cast<BD*>(nullptr)), EC_ERROR_INVALID_ARGUMENT, argument);
    CONSOLE_CONFIG_T noCallback;
    noCallback.recvCallback = nullptr;
    EXPECT_FATAL(::Console bad(noCallback), EC_ERROR_INVALID_ARGUMENT, argument);
    hostTaskCreateFailNext(1);
    EXPECT_FATAL(makeConsole(), EC_ERROR_TASK_CREATION, "code= -10 module= consoleapl.cpp");
}

TEST_F(ConsoleTest, KeysReachTheCallbackInOrderFromACycleOrTheTaskAndAFullFifoDropsTheRest)
{
    // A worker cycle hands over the keys present in one pass.
    for (uint8_t k : {'a', 'b', 'c'}) con->RxDataHandler(k);
    con->WorkerCycle();
    EXPECT_EQ((std::vector<uint8_t>{'a', 'b', 'c'}), gKeys);
    con->WorkerCycle();
    EXPECT_EQ(3u, gKeys.size());
    // The FIFO took them all: a full FIFO's worth fits again.
    for (uint32_t i = 0; i < ::Console::LEN_FIFO_RX_DATA; ++i) con->RxDataHandler('x');
    con->WorkerCycle();
    EXPECT_EQ(3u + ::Console::LEN_FIFO_RX_DATA, gKeys.size());
    gKeys.clear();

    hostKernelReset(HostClockMode::Virtual);

    restartDrivers();
    ::Console* live = makeConsole();
    // The 1025th key is dropped.
    for (uint32_t i = 0; i <= ::Console::LEN_FIFO_RX_DATA; ++i) live->RxDataHandler(uint8_t(i));
    // A driver-side task delivers one more key once the console caught up.
    const TaskFxn driver = [](UArg con, UArg) {
        ti_sysbios_knl_Task_sleep(5);
        reinterpret_cast<::Console*>(con)->RxDataHandler('k');
    };
    ASSERT_NE(nullptr, taskCreateOrNull({"driver", 9, 0, driver, reinterpret_cast<UArg>(live), 0}));
    hostKernelRun(10);
    ASSERT_EQ(::Console::LEN_FIFO_RX_DATA + 1, gKeys.size());
    for (uint32_t i = 0; i < ::Console::LEN_FIFO_RX_DATA; ++i) ASSERT_EQ(uint8_t(i), gKeys[i]);
    EXPECT_EQ('k', gKeys.back());
}

class DcTest : public FirmwareTest {};

TEST_F(DcTest, PrintingBeforeInitDoesNothingAndDcPrintCutsAt256)
{
    dcPrint("lost");
    dcPrintf("lost %d", 1);
    EXPECT_EQ(1, dcPrintf2("lost"));
    EXPECT_EQ(nullptr, dcConsole());
    dcInit();
    ASSERT_NE(nullptr, dcConsole());
    EXPECT_EQ("", drain(*dcConsole()));

    dcPrint(std::string(300, 'y').c_str());
    EXPECT_EQ(std::string(MAX_LEN_STRING_CONSOLE, 'y'), drain(*dcConsole()));
    dcPrintf("%s=%u\n", "n", 5u);
    EXPECT_EQ("n=5\r\n", drain(*dcConsole()));
    EXPECT_EQ(1, dcPrintf2("%d%%", 42));
    EXPECT_EQ("42%", drain(*dcConsole()));
    // Nothing went to the UART directly: the console only queues.
    EXPECT_EQ("", Console());
}

TEST_F(DcTest, AFatalErrorWritesOutTheQueuedOutputBeforeItsLine)
{
    dcInit();
    EXPECT_FATAL(
        {
            dcPrint("Opening UDP port 2005...\nERROR: UDP port 2005 bind failed, 48\n");
            exmFatalError(EC_ERROR_UDP_OPEN, "ipgateapl.cpp", "ipgateapl.cpp", 7);
        },
        EC_ERROR_UDP_OPEN,
        "^Opening UDP port 2005...\r\nERROR: UDP port 2005 bind failed, 48\r\n\r\nFATAL ERROR: "
        "code= -42 module= ipgateapl.cpp file= ipgateapl.cpp line= 7$");
}

TEST_F(DcTest, ConsoleOutputLeavesOnUart0ThroughTheDriverTask)
{
    hostUartSetTxSink(SOC_UART0_BASE, nullptr, nullptr);
    hostUartReset();
    hostKernelReset(HostClockMode::Virtual);
    restartDrivers();
    dcInit();
    dcPrintf("\n\n*** %s ***\n", "Title");
    hostKernelRun(20);
    std::vector<uint8_t> line(256);
    line.resize(hostUartTakeTx(0, line.data(), line.size()));
    EXPECT_EQ("\r\n\r\n*** Title ***\r\n", std::string(line.begin(), line.end()));
    EXPECT_NEAR(115200.0, hostUartState(0).bitRate, 115200 * 0.02);
    EXPECT_EQ(10u, hostUartState(0).frameBits);
}

}  // namespace
