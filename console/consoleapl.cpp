// Console protocol: FIFOs, console task and formatter of the diagnostics
// console. Handlers run in the UART driver task, WorkerTask in the console
// task, Send in any printing task under the print lock; see consoleapl.h.
#include "consoleapl.h"

#include "exmapl.h"
#include "taskapl.h"

static const char _MODULE_[] = "consoleapl.cpp";

static const char TabHexUChars[] = "0123456789ABCDEF";
static const char NULL_TEXT[] = "(null)";
static const uint8_t LF = 10;
static const uint8_t CR = 13;
static const int CONSOLE_TASK_PRIORITY = 1;
static const uint32_t CONSOLE_TASK_STACK = 4096;
static const uint32_t BASE_DECIMAL = 10;
static const uint32_t BASE_HEX = 16;
// Padding is applied only for a pad count in this range.
static const uint32_t MIN_PAD_COUNT = 1;
static const uint32_t MAX_PAD_COUNT = 14;

static RECV_BYTE_CALLBACK checkedCallback(RECV_BYTE_CALLBACK cb)
{
    if (cb == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    return cb;
}

Console::Console(CONSOLE_CONFIG_T config)
    : recvCallback(checkedCallback(config.recvCallback)),
      fifoRxData(),
      fifoTxData(),
      semHandleRecvData(nullptr)
{
    semHandleRecvData = ti_sysbios_knl_Semaphore_create(0, ti_sysbios_knl_Semaphore_Mode_COUNTING);
    if (semHandleRecvData == nullptr) {
        EXM_FATAL(EC_ERROR_SEMAPHORE_CREATION);
    }
    taskCreate({"console", CONSOLE_TASK_PRIORITY, CONSOLE_TASK_STACK, &Console::WorkerTask,
                reinterpret_cast<UArg>(this), 0},
               EXM_HERE);
}

void Console::EnableLog() {}

ERROR_CODES_E Console::Send(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    return Send(bd->Load(), bd->BufferPtr());
}

void Console::ResetStats() {}

void Console::GetStats(uint8_t* /*p*/) {}

void Console::RxDataHandler(uint8_t c)
{
    if (fifoRxData.PutFromDriver(c)) {
        ti_sysbios_knl_Semaphore_post(semHandleRecvData);
    }
}

ERROR_CODES_E Console::TxDataHandler(uint8_t& out)
{
    return fifoTxData.GetFromDriver(out) ? EC_SUCCESS : EC_FAIL;
}

ERROR_CODES_E Console::Send(uint8_t c)
{
    const uint8_t crlf[2] = {CR, LF};
    const uint8_t* bytes = c == LF ? crlf : &c;
    const uint32_t count = c == LF ? 2 : 1;
    for (uint32_t i = 0; i < count; ++i) {
        if (!fifoTxData.Put(bytes[i])) {
            return EC_FAIL;
        }
    }
    return EC_SUCCESS;
}

ERROR_CODES_E Console::Send(uint32_t length, const uint8_t* data)
{
    if (data == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    for (uint32_t i = 0; i < length && data[i] != 0; ++i) {
        if (Send(data[i]) != EC_SUCCESS) {
            return EC_FAIL;
        }
    }
    return EC_SUCCESS;
}

void Console::SendSpaces(uint32_t count)
{
    // A full FIFO ends the padding: a huge width must not turn into a long loop.
    for (uint32_t i = 0; i < count; ++i) {
        if (Send(static_cast<uint8_t>(' ')) != EC_SUCCESS) {
            return;
        }
    }
}

// Reads the flag, width and letter that follow a '%'; returns the position
// after the letter, or null when the format ends inside the conversion.
static const char* parseConversion(const char* p, CONSOLE_CONVERSION_T& conversion)
{
    conversion.pad = ' ';
    if (*p == '0') {
        conversion.pad = '0';
        ++p;
    } else if (*p == '-' || *p == '#' || *p == '+') {
        ++p;
    }
    conversion.width = 0;
    while (*p >= '0' && *p <= '9') {
        conversion.width = conversion.width * BASE_DECIMAL + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    if (*p == '\0') {
        return nullptr;
    }
    conversion.letter = *p;
    return p + 1;
}

void Console::Send(const char* format, va_list args)
{
    // A copy the conversions can consume through a pointer, whatever va_list is.
    va_list rest;
    va_copy(rest, args);
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char* run = p;
            while (*p != '\0' && *p != '%') {
                ++p;
            }
            (void)Send(static_cast<uint32_t>(p - run), reinterpret_cast<const uint8_t*>(run));
            continue;
        }
        CONSOLE_CONVERSION_T conversion;
        p = parseConversion(p + 1, conversion);
        if (p == nullptr) {
            (void)Send(static_cast<uint8_t>('?'));
            break;
        }
        SendConversion(conversion, &rest);
    }
    va_end(rest);
}

void Console::SendConversion(const CONSOLE_CONVERSION_T& conversion, va_list* args)
{
    char field[LEN_NUMBER_FIELD];
    uint32_t len = 0;
    switch (conversion.letter) {
    case 'd': {
        const int32_t v = va_arg(*args, int32_t);
        // Negating in unsigned arithmetic gives 2147483648 for the most negative value.
        const uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
        len = ConvertVal(magnitude, BASE_DECIMAL, v < 0 ? 1 : 0, conversion.width, conversion.pad,
                         field);
        break;
    }
    case 'u':
        len = ConvertVal(va_arg(*args, uint32_t), BASE_DECIMAL, 0, conversion.width, conversion.pad,
                         field);
        break;
    case 'x':
    case 'X':
        len = ConvertVal(va_arg(*args, uint32_t), BASE_HEX, 0, conversion.width, conversion.pad,
                         field);
        break;
    case 'p':
        len = ConvertVal(reinterpret_cast<uintptr_t>(va_arg(*args, const void*)), BASE_HEX, 0,
                         conversion.width, conversion.pad, field);
        break;
    case 'c':
        (void)Send(static_cast<uint8_t>(va_arg(*args, int32_t)));
        return;
    case 's': {
        const char* text = va_arg(*args, const char*);
        if (text == nullptr) {
            text = NULL_TEXT;
        }
        uint32_t textLen = 0;
        while (text[textLen] != '\0') {
            ++textLen;
        }
        if (Send(textLen, reinterpret_cast<const uint8_t*>(text)) == EC_SUCCESS &&
            conversion.width > textLen) {
            SendSpaces(conversion.width - textLen);
        }
        return;
    }
    case '%':
        (void)Send(static_cast<uint8_t>('%'));
        return;
    default:
        (void)Send(static_cast<uint8_t>('?'));
        return;
    }
    (void)Send(len, reinterpret_cast<const uint8_t*>(field));
}

uint32_t Console::ConvertVal(uintptr_t value, uint32_t base, uint32_t negative, uint32_t width,
                             char pad, char* buffer)
{
    // Largest power of the base not above the value, without overflowing.
    uintptr_t power = 1;
    uint32_t digits = 1;
    while (power <= value / base) {
        power *= base;
        ++digits;
    }
    const uint32_t sign = negative == 1 ? 1 : 0;
    uint32_t padCount = width - digits - sign;
    if (width < digits + sign || padCount < MIN_PAD_COUNT || padCount > MAX_PAD_COUNT) {
        padCount = 0;
    }
    // The field buffer holds LEN_NUMBER_FIELD characters whatever the width.
    if (padCount > LEN_NUMBER_FIELD - digits - sign) {
        padCount = LEN_NUMBER_FIELD - digits - sign;
    }

    uint32_t len = 0;
    if (padCount > 0 && pad == '0' && sign == 1) {
        buffer[len++] = '-';
        for (uint32_t i = 0; i < padCount; ++i) {
            buffer[len++] = '0';
        }
    } else {
        for (uint32_t i = 0; i < padCount; ++i) {
            buffer[len++] = pad;
        }
        if (sign == 1) {
            buffer[len++] = '-';
        }
    }
    for (; power > 0; power /= base) {
        buffer[len++] = TabHexUChars[(value / power) % base];
    }
    return len;
}

void Console::WorkerTask(UArg arg0, UArg /*arg1*/)
{
    Console* const self = reinterpret_cast<Console*>(arg0);
    for (;;) {
        (void)ti_sysbios_knl_Semaphore_pend(self->semHandleRecvData, BIOS_WAIT_FOREVER);
        (void)self->TakeKey();  // none left when a cycle took it already
    }
}

void Console::WorkerCycle()
{
    uint32_t count = fifoRxData.Load();
    while (count-- > 0) {
        (void)TakeKey();
    }
}

bool Console::TakeKey()
{
    if (fifoRxData.Load() == 0) {
        return false;
    }
    recvCallback(fifoRxData.Front());
    // Released only after the callback returned, so the key stays intact.
    fifoRxData.Release();
    return true;
}
