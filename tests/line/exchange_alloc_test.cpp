// The exchange runs once per block of a module write; it must not allocate.
// Allocations are counted on the calling thread only, through a replaced
// global allocator, while a whole exchange with retries runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "exchange/exchange.h"
#include "platform/event.h"
#include "pty_peer.h"

// GCC cannot see that these replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local bool counting = false;
thread_local int allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

TEST(ExchangeAllocations, NoneInAnExchangeWithRetries) {
    PtyPeer peer;
    // First attempt garbled, second answered: both paths run.
    peer.Start([](PtyPeer& p, int index, const Bytes& frame) {
        const Bytes request = PayloadOf(frame);
        Bytes reply = FrameOf({request[0], request[1], request[2], 6, 1, 2, 3});
        if (index % 2 == 0 && reply.size() > 2) reply[reply.size() - 2] ^= 0x01;
        p.Send(reply);
    });
    static LineState line{};
    Event abort;
    line.abortEvent = &abort;
    ASSERT_EQ(OpenChannel(line.channel, peer.SlavePath().c_str()), 0);

    for (int round = 0; round < 3; ++round) {
        line.PayloadBuffer[0] = line.SequenceNumber;
        line.PayloadBuffer[1] = 1;
        line.PayloadBuffer[2] = 19;
        counting = true;
        const int result = Exchange(line, 1033, 1);
        counting = false;
        EXPECT_EQ(result, 7);
    }
    EXPECT_EQ(allocations, 0);
    CloseChannel(line.channel);
}

}  // namespace
