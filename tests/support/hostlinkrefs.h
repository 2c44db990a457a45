// Reference host-link frames, byte for byte, shared by the board's protocol
// tests and the host-side codec's tests: both ends must write exactly these
// bytes and read them back to the same message.
#pragma once

#include <cstdint>
#include <vector>

#include "hostlink_codec.h"

struct HostLinkRefFrame {
    const char* name;
    hostlink::Message message;
    std::vector<uint8_t> wire;
};

inline const std::vector<HostLinkRefFrame>& hostLinkRefFrames()
{
    static const std::vector<HostLinkRefFrame> frames = {
        {"abc to 10.80.0.1:2010",
         {2010, 0x0A500001, 2010, 0x0A500010, {0x61, 0x62, 0x63}},
         {0x10, 0x02, 0x07, 0xDA, 0x0A, 0x50, 0x00, 0x01, 0x07, 0xDA, 0x0A,
          0x50, 0x00, 0x10, 0x10, 0x61, 0x62, 0x63, 0x10, 0x03, 0x14}},
        {"one DLE between ports 1024",
         {1024, 0, 1024, 0, {0x10}},
         {0x10, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10,
          0x10, 0x10, 0x03, 0x9E}},
    };
    return frames;
}
