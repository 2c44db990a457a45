// Fuzz target of the diagnostics console: keys through the console's byte
// handler and task pass into the page menu and every page, on a board with
// both groups configured, with time passing between them. Each input starts
// on the main menu. The reboot key of the "Other" page stops the board by
// design, so the harness never lets it reach that page; every other reset
// key does reach its page, and the counters it clears start afresh.
// Input: records of an operation byte and its arguments (below).
#include "configapl.h"
#include "consoleapl.h"
#include "dcapl.h"
#include "dcmenuapl.h"
#include "fuzzboard.h"
#include "fuzzharness.h"

namespace {

enum OP_E : uint8_t {
    OP_KEYS = 0,   // length byte, then each key through the console on its own
    OP_BURST = 1,  // length word (to 2047), then the keys queued at once, one task pass
    OP_TIME = 2,   // byte x 1000 ticks on
    NUM_OPS = 3,
};

constexpr char KEY_REBOOT = 'r';
constexpr char KEY_INSTEAD = 'R';  // not a key of any page
constexpr char KEY_OTHER_PAGE = '7';
constexpr uint16_t MAX_BURST = 2047;
constexpr uint32_t TICKS_PER_SECOND = 1000;

const PageItem* mOtherPage = nullptr;
char mLastKey = static_cast<char>(ESC);  // what a space repeats, as the menu keeps it

// Hands one key to the console as its UART driver would.
void type(char key)
{
    dcConsole()->RxDataHandler(static_cast<uint8_t>(key));
    if (key != PageSet::KEY_REPEAT) mLastKey = key;
}

void startOnMainMenu()
{
    type(static_cast<char>(ESC));
    dcConsole()->WorkerCycle();
    fuzz::DrainConsole();
}

// The board, configured, and the "Other" page found by opening it once.
void setUpOnce()
{
    static bool done = false;
    if (done) return;
    done = true;
    fuzz::StartBoard();
    fuzz::ConfigureBoth();
    startOnMainMenu();
    type(KEY_OTHER_PAGE);
    dcConsole()->WorkerCycle();
    mOtherPage = mPages.Current();
    fuzz::DrainConsole();
}

// The key the menu acts on: a space repeats the last one.
char effective(char key) { return key == PageSet::KEY_REPEAT ? mLastKey : key; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    setUpOnce();
    fuzz::StartInput();
    startOnMainMenu();
    fuzz::Reader in(data, size);
    fuzz::BoardWatch watch;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        bool reset = false;
        switch (op % NUM_OPS) {
        case OP_KEYS:
            for (uint8_t k : in.Take(in.Byte())) {
                const char key = effective(static_cast<char>(k));
                if (key == KEY_REBOOT && mPages.Current() == mOtherPage) continue;
                reset = reset || key == KEY_REBOOT;
                type(static_cast<char>(k));
                dcConsole()->WorkerCycle();
                fuzz::DrainConsole();
            }
            break;
        case OP_BURST: {
            // Keys beyond the receive FIFO are dropped and leave the menu as it was.
            uint32_t queued = 0;
            for (uint8_t k : in.Take(in.Word() % (MAX_BURST + 1))) {
                char key = static_cast<char>(k);
                if (effective(key) == KEY_REBOOT) key = KEY_INSTEAD;
                if (queued++ < Console::LEN_FIFO_RX_DATA) {
                    type(key);
                } else {
                    dcConsole()->RxDataHandler(static_cast<uint8_t>(key));
                }
            }
            dcConsole()->WorkerCycle();
            fuzz::DrainConsole();
            break;
        }
        case OP_TIME:
            fuzz::Advance(in.Byte() * TICKS_PER_SECOND);
            break;
        default:
            break;
        }
        if (reset) watch.Forget();
        watch.Check();
    }
    fuzz::ReturnDelivered();
    fuzz::CheckPool(true);
    return 0;
}
