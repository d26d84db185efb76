// Timing of the channel and the exchange over a pseudo-terminal:
//   - a silent exchange (four attempts, no reply) from call to return;
//   - how soon ChannelRead returns after the ETX byte has arrived, beside a
//     bare poll and read on a raw pseudo-terminal under the same load.
// Prints one line per figure. Usage: vx40_line_bench [samples]
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "exchange/exchange.h"
#include "platform/event.h"
#include "pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nearest-rank percentile, 0 < share <= 1.
double Percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

void SilentExchange(int samples) {
    PtyPeer peer;
    peer.Start(nullptr);
    static LineState line{};
    Event abort;
    line.abortEvent = &abort;
    if (OpenChannel(line.channel, peer.SlavePath().c_str()) != 0) return;
    std::vector<double> seconds;
    for (int i = 0; i < samples; ++i) {
        line.PayloadBuffer[0] = line.SequenceNumber;
        line.PayloadBuffer[1] = 255;
        line.PayloadBuffer[2] = 16;
        const auto start = Clock::now();
        const int result = Exchange(line, 3, 255);
        seconds.push_back(SecondsSince(start));
        if (result != kErrExchange) std::printf("unexpected result %d\n", result);
    }
    CloseChannel(line.channel);
    std::printf(
        "silent exchange: median %.3f s, min %.3f s, max %.3f s over %d (target 1.00-1.10 s)\n",
        Median(seconds), *std::min_element(seconds.begin(), seconds.end()),
        *std::max_element(seconds.begin(), seconds.end()), samples);
}

// Milliseconds from the peer writing a frame's ETX byte to `receive`
// returning; the rest of the frame went out 2 ms earlier.
template <typename Receive>
double MsAfterEtx(PtyPeer& peer, Receive receive) {
    std::atomic<std::int64_t> sentAtNs{0};
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        peer.Send({0x02, 0x11});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        sentAtNs = Clock::now().time_since_epoch().count();
        peer.Send({0xEE, 0x03});
    });
    receive();
    const auto doneNs = Clock::now().time_since_epoch().count();
    sender.join();
    return static_cast<double>(doneNs - sentAtNs.load()) / 1e6;
}

void PrintLatency(const char* what, const std::vector<double>& ms) {
    const auto late = std::count_if(ms.begin(), ms.end(), [](double value) { return value > 2.0; });
    std::printf("%s: median %.3f ms, 99th percentile %.3f ms, max %.3f ms; %d of %d above 2 ms\n",
                what, Median(ms), Percentile(ms, 0.99), *std::max_element(ms.begin(), ms.end()),
                static_cast<int>(late), static_cast<int>(ms.size()));
}

// The samples of ChannelRead alternate with samples of a bare poll and read
// on a second raw pseudo-terminal, so both see the same load. The bare one
// is the floor the kernel and the scheduler set: on a shared machine a
// wake-up is now and then a scheduling slice late, whoever waits.
void ReadLatency(int samples) {
    PtyPeer peer;
    SerialChannel channel{};
    Event abort;
    if (OpenChannel(channel, peer.SlavePath().c_str()) != 0) return;
    PtyPeer barePeer;
    const int bare = open(barePeer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (bare < 0) return;

    std::vector<double> channelMs;
    std::vector<double> bareMs;
    std::uint8_t buffer[kFrameBufferSize];
    for (int i = 0; i < samples; ++i) {
        channelMs.push_back(MsAfterEtx(peer, [&] {
            const int got = ChannelRead(channel, buffer, sizeof buffer, &abort);
            if (got != 4) std::printf("unexpected read %d\n", got);
        }));
        bareMs.push_back(MsAfterEtx(barePeer, [&] {
            for (bool etx = false; !etx;) {
                pollfd watch{bare, POLLIN, 0};
                if (poll(&watch, 1, 250) <= 0) break;
                const ssize_t got = read(bare, buffer, sizeof buffer);
                for (ssize_t k = 0; k < got; ++k)
                    etx = etx || buffer[k] == kEtx;
            }
        }));
    }
    close(bare);
    CloseChannel(channel);
    PrintLatency("ChannelRead after ETX (target <= 2 ms)", channelMs);
    PrintLatency("bare poll and read after ETX (the kernel's floor)", bareMs);
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 10;
    SilentExchange(samples);
    ReadLatency(samples * 20);
    return 0;
}
