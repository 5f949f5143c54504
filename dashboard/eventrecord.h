// eventrecord: the data of the runtime's 60-byte event records, as halyard
// reads it when it dispatches an event. The runtime writes the event type at
// offset 0 and the event's data from offset 12; the data is read from those
// bytes (not through the union, whose members the runtime never promises to
// have written):
//   EventData<uint64_t>(420 record with bytes 12..19 = 07 00 .. 00)  => 7
//   EventData<uint32_t>(523 record with bytes 12..15 = 2a 00 00 00)  => 42
// Pure and reentrant; any record value gives a value, never a fault.
#pragma once

#include <cstring>
#include <type_traits>

#include "lattice_api.h"

template <typename T>
T EventData(const vr::LatticeEvent_t& event) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof(event.data),
                  "event data is at most 48 plain bytes");
    T value;
    memcpy(&value, reinterpret_cast<const char*>(&event) + 12, sizeof(T));
    return value;
}
