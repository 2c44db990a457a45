// The text of a DLE-framed unit, decoded once for the protocols that frame
// with it: DLE STX, the text with each DLE doubled, DLE ETX, then the CRC,
// high byte first. The protocol hunts for a unit itself (its address, if it
// has one) and hands each byte to Take while Idle() is false or the byte is
// the opening DLE; it keeps its packet types, counters and answers, and acts
// on the event Take returns. The rules, the same on every such line: both
// bytes of a doubled DLE count in the CRC, a text over the limit or with a
// bad escape is passed over pair by pair up to its end (so nothing in it
// opens a unit), DLE STX restarts the text, and a packet type after a DLE
// ends any text.
// FRAMING gives CrcStep(crc, byte) (its result type is the CRC's),
// CRC_INITIAL, LEN_MAX (text bytes kept, without doubling) and
// IsPacket(byte), the packet types that stand alone.
#pragma once

#include <cstdint>
#include <cstring>

enum DLE_EVENT_E : uint8_t {
    DLE_TAKEN = 0,       // nothing to act on: a text byte, half a pair, a byte passed over
    DLE_FRAME = 1,       // a text and its CRC are in: Text(), Length(), CrcGood()
    DLE_CUT = 2,         // a text dropped (too long, bad escape); its rest is passed over
    DLE_RESTART = 3,     // DLE STX inside a text: it is dropped and a new one starts
    DLE_PACKET = 4,      // DLE and a byte other than STX outside a text: the byte is the type
    DLE_PACKET_CUT = 5,  // a packet type cut a text short: the text is dropped, the packet stands
};

template <typename FRAMING>
class DleText {
public:
    using CRC_T = decltype(FRAMING::CrcStep(0, 0));
    static constexpr uint8_t DLE = 0x10;
    static constexpr uint8_t STX = 0x02;
    static constexpr uint8_t ETX = 0x03;

    // Back to the state after construction, text buffer cleared.
    void Clear()
    {
        Reset();
        crc = FRAMING::CRC_INITIAL;
        std::memset(text, 0, sizeof text);
    }
    // Drops whatever unit is open; the next DLE opens one.
    void Reset()
    {
        state = IDLE;
        skip = false;
        len = 0;
    }
    // Takes what follows for the rest of a text, to be passed over up to its
    // end or the next escape that opens or is a packet. True when a text
    // that was not already being passed over is dropped by this.
    bool PassOver()
    {
        const bool open = state >= TEXT && !skip;
        len = 0;
        skip = true;
        state = TEXT;
        return open;
    }
    bool Idle() const { return state == IDLE; }
    const uint8_t* Text() const { return text; }
    uint32_t Length() const { return len; }
    // After DLE_FRAME: the CRC bytes received match the text.
    bool CrcGood() const { return crc == 0; }

    DLE_EVENT_E Take(uint8_t byte)
    {
        switch (state) {
        case OPENED:
            if (byte == STX) {
                Start();
            } else if (byte != DLE) {  // repeated DLEs collapse into one
                state = IDLE;
                return DLE_PACKET;
            }
            return DLE_TAKEN;
        case TEXT:
            if (byte == DLE) {
                state = ESCAPE;
            } else if (!skip) {
                return Keep(byte, 1);
            }
            return DLE_TAKEN;
        case ESCAPE:
            return Escape(byte);
        case CHECK:
            crc = FRAMING::CrcStep(crc, byte);
            if (--crcLeft != 0) {
                return DLE_TAKEN;
            }
            state = IDLE;
            return EndOfText(DLE_FRAME, DLE_TAKEN);
        default:  // IDLE
            if (byte == DLE) {
                state = OPENED;
            }
            return DLE_TAKEN;
        }
    }

private:
    enum STATE_E : uint8_t {
        IDLE = 0,    // between units
        OPENED = 1,  // after the opening DLE
        TEXT = 2,    // text bytes; a DLE starts an escape
        ESCAPE = 3,  // the byte after a DLE inside the text
        CHECK = 4,   // the CRC bytes
    };

    void Start()
    {
        crc = FRAMING::CRC_INITIAL;
        len = 0;
        skip = false;
        state = TEXT;
    }

    // One text byte, `wire` times on the wire (a DLE twice), each counted in the CRC.
    DLE_EVENT_E Keep(uint8_t byte, int wire)
    {
        if (len == FRAMING::LEN_MAX) {
            skip = true;
            state = TEXT;
            return DLE_CUT;
        }
        text[len++] = byte;
        for (int i = 0; i < wire; ++i) {
            crc = FRAMING::CrcStep(crc, byte);
        }
        state = TEXT;
        return DLE_TAKEN;
    }

    DLE_EVENT_E Escape(uint8_t byte)
    {
        if (byte == DLE) {
            if (!skip) {
                return Keep(DLE, 2);
            }
            state = TEXT;
            return DLE_TAKEN;
        }
        if (byte == ETX) {
            crc = FRAMING::CrcStep(FRAMING::CrcStep(crc, DLE), ETX);
            crcLeft = sizeof(CRC_T);
            state = CHECK;
            return DLE_TAKEN;
        }
        if (byte == STX) {
            const DLE_EVENT_E event = skip ? DLE_TAKEN : DLE_RESTART;
            Start();
            return event;
        }
        if (FRAMING::IsPacket(byte)) {
            state = IDLE;
            return EndOfText(DLE_PACKET_CUT, DLE_PACKET);
        }
        const bool wasSkipped = skip;
        skip = true;
        state = TEXT;
        return wasSkipped ? DLE_TAKEN : DLE_CUT;
    }

    // The text ends here: `kept` if it was being kept, else `passed`.
    DLE_EVENT_E EndOfText(DLE_EVENT_E kept, DLE_EVENT_E passed)
    {
        const bool wasSkipped = skip;
        skip = false;
        return wasSkipped ? passed : kept;
    }

    STATE_E state;
    bool skip;        // passing over the rest of an abandoned text
    uint8_t crcLeft;  // CRC bytes still to come
    CRC_T crc;        // running CRC of the unit, the CRC bytes folded in at the end
    uint32_t len;     // text bytes kept, at most LEN_MAX
    uint8_t text[FRAMING::LEN_MAX];
};
