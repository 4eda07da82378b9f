#pragma once
// Reply body of one exchange: small replies (every acknowledgement) stay in the object, so the
// per-page path of a bitmap upload allocates nothing.
#include "device/LumoIo.h"

#include <cstring>
#include <vector>

class LumoIo::Reply {
public:
    // Body layout: two address bytes, the code word, the payload, the checksum.
    static constexpr unsigned PayloadOffset = 4;
    static constexpr unsigned Overhead = 5;
    // Room for every field position checked, so a short body reads them as 0.
    static constexpr unsigned MinRoom = 6;

    Reply() = default;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    // Zeroed room for n body bytes (and at least MinRoom).
    unsigned char* reset(unsigned n) {
        size = n;
        unsigned room = n < MinRoom ? MinRoom : n;
        if (room <= sizeof(small)) {
            buf = small;
        } else {
            big.assign(room, 0);
            buf = big.data();
        }
        std::memset(buf, 0, room);
        return buf;
    }
    const unsigned char* body() const { return buf; }
    unsigned bodyLen() const { return size; }
    // Valid after a successful exchange, which guarantees bodyLen() >= Overhead.
    const unsigned char* payload() const { return buf + PayloadOffset; }
    unsigned payloadLen() const { return size - Overhead; }

private:
    unsigned char small[64];
    std::vector<unsigned char> big;
    unsigned char* buf = small;
    unsigned size = 0;
};
