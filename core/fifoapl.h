// Ring FIFO shared by a driver side and a task side: the byte queues between
// a byte driver and its protocol, and queues of records between two tasks.
// One producer writes at the write index, one consumer reads at the read
// index, and the load alone tells empty from full (indices are never compared).
// The driver side (an interrupt handler, or the UART driver's task, which no
// task-side code can interrupt) runs to completion without a lock; the task
// side changes the load only with interrupts disabled.
// A FIFO that tracks cuts (a receive FIFO of bytes in frames) also tells its
// consumer where items were lost to it being full: the mark rides beside the
// next stored item, out of band, so no stored value can be mistaken for it.
#pragma once

#include <cstdint>

#include "kernel.h"

// Adds `delta` (negative to take) to a FIFO load shared with the driver side,
// which may be an interrupt handler or the higher-priority driver task.
inline void fifoLoadAdd(volatile uint32_t& load, int32_t delta)
{
    const uint32_t key = ti_sysbios_hal_Hwi_disable();
    load = load + static_cast<uint32_t>(delta);
    ti_sysbios_hal_Hwi_restore(key);
}

template <typename T, uint32_t LEN, bool TRACK_CUTS = false>
class RingFifo {
    static_assert(LEN != 0 && (LEN & (LEN - 1)) == 0, "a ring FIFO's length is a power of two");
    static_assert(!TRACK_CUTS || LEN >= 8, "cut marks are kept eight to a byte");

public:
    static constexpr uint32_t MASK = LEN - 1;

    // Task side: items written behind the write index, invisible to the
    // consumer until Commit counts them all at once, so that it never sees
    // part of a unit. The producer checks Room() for the whole unit first;
    // a unit dropped without Commit leaves the FIFO as it was.
    class Unit {
    public:
        // The next slot of the unit, to fill in place.
        T& Next()
        {
            T& slot = fifo.items[index];
            index = (index + 1) & MASK;
            ++count;
            return slot;
        }
        void Put(const T& item) { Next() = item; }
        uint32_t Count() const { return count; }

    private:
        friend class RingFifo;
        explicit Unit(RingFifo& owner) : fifo(owner), index(owner.last), count(0) {}

        RingFifo& fifo;
        uint32_t index;  // where the unit's next item goes
        uint32_t count;  // items written so far
    };

    RingFifo() : items{}, first(0), last(0), load(0), cutBefore{}, cutOpen(0) {}

    // Empty and zeroed, as after construction; only while neither side runs.
    void Clear()
    {
        for (T& item : items) {
            item = T{};
        }
        first = 0;
        last = 0;
        load = 0;
        for (uint8_t& bits : cutBefore) {
            bits = 0;
        }
        cutOpen = 0;
    }

    uint32_t Load() const { return load; }
    uint32_t Room() const { return LEN - load; }

    // Driver side, producer: false (nothing stored) when full. With cut
    // tracking the next item stored carries the mark of the loss.
    bool PutFromDriver(const T& item)
    {
        if (load >= LEN) {
            cutOpen = 1;
            return false;
        }
        items[last] = item;
        if constexpr (TRACK_CUTS) {
            // The consumer only reads these bits, so a read-modify-write of
            // a byte it shares with held items cannot lose anything.
            const uint8_t bit = static_cast<uint8_t>(1u << (last & 7));
            if (cutOpen != 0) {
                cutBefore[last >> 3] = static_cast<uint8_t>(cutBefore[last >> 3] | bit);
            } else {
                cutBefore[last >> 3] = static_cast<uint8_t>(cutBefore[last >> 3] & ~bit);
            }
            cutOpen = 0;
        }
        last = (last + 1) & MASK;
        load = load + 1;
        return true;
    }

    // Driver side, consumer: false (item untouched) when empty.
    bool GetFromDriver(T& item)
    {
        if (load == 0) {
            return false;
        }
        item = items[first];
        first = (first + 1) & MASK;
        load = load - 1;
        return true;
    }

    // Task side, producer (never into a FIFO that tracks cuts).
    Unit BeginUnit()
    {
        static_assert(!TRACK_CUTS, "a FIFO that tracks cuts is filled by the driver side");
        return Unit(*this);
    }
    void Commit(const Unit& unit)
    {
        last = unit.index;
        fifoLoadAdd(load, static_cast<int32_t>(unit.count));
    }
    // One item as a unit of its own: false (nothing stored) when full.
    bool Put(const T& item)
    {
        if (load >= LEN) {
            return false;
        }
        Unit unit = BeginUnit();
        unit.Put(item);
        Commit(unit);
        return true;
    }

    // Task side, consumer: true when items were lost to a full FIFO between
    // the item before Front() and Front() itself. Only while Load() is not 0.
    bool CutBeforeFront() const
    {
        static_assert(TRACK_CUTS, "only a FIFO that tracks cuts knows them");
        return (cutBefore[first >> 3] & (1u << (first & 7))) != 0;
    }

    // Task side, consumer: the oldest item stays in place until Release, so
    // that it can be used where it lies. Only while Load() is not 0.
    T& Front() { return items[first]; }
    void Release()
    {
        first = (first + 1) & MASK;
        fifoLoadAdd(load, -1);
    }
    // The oldest item, taken out at once. Only while Load() is not 0.
    T Take()
    {
        const T item = items[first];
        Release();
        return item;
    }

private:
    T items[LEN];
    uint32_t first;          // read index, consumer only
    uint32_t last;           // write index, producer only
    volatile uint32_t load;  // items held, 0 to LEN; written by both sides
    // Bit per slot: items were lost just before this one (cut tracking only).
    uint8_t cutBefore[TRACK_CUTS ? LEN / 8 : 1];
    uint8_t cutOpen;  // a put failed since the last stored item; driver only
};

template <uint32_t LEN>
using ByteFifo = RingFifo<uint8_t, LEN>;

// A receive FIFO of framed bytes: the consumer learns of every loss.
template <uint32_t LEN>
using ByteFifoWithCuts = RingFifo<uint8_t, LEN, true>;
