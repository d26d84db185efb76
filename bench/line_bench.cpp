// Timing of the channel and the exchange over a pseudo-terminal:
//   - a silent exchange (four attempts, no reply) from call to return;
//   - how soon ChannelRead returns after the ETX byte has arrived.
// Prints one line per figure. Usage: vx40_line_bench [samples]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/event.h"
#include "protocol/exchange.h"
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

void ReadLatency(int samples) {
    PtyPeer peer;
    SerialChannel channel{};
    Event abort;
    if (OpenChannel(channel, peer.SlavePath().c_str()) != 0) return;
    std::vector<double> ms;
    std::uint8_t buffer[kFrameBufferSize];
    for (int i = 0; i < samples; ++i) {
        std::atomic<std::int64_t> sentAtNs{0};
        std::thread sender([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            peer.Send({0x02, 0x11});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            sentAtNs = Clock::now().time_since_epoch().count();
            peer.Send({0xEE, 0x03});
        });
        const int got = ChannelRead(channel, buffer, sizeof buffer, &abort);
        const auto doneNs = Clock::now().time_since_epoch().count();
        sender.join();
        if (got != 4) std::printf("unexpected read %d\n", got);
        ms.push_back(static_cast<double>(doneNs - sentAtNs.load()) / 1e6);
    }
    CloseChannel(channel);
    // A shared machine now and then delays the wake-up by a scheduling
    // slice; the share of such samples is printed beside the maximum.
    const auto late = std::count_if(ms.begin(), ms.end(), [](double value) { return value > 2.0; });
    std::printf(
        "ChannelRead after ETX: median %.3f ms, 99th percentile %.3f ms, max %.3f ms; %d of %d "
        "above 2 ms (target <= 2 ms)\n",
        Median(ms), Percentile(ms, 0.99), *std::max_element(ms.begin(), ms.end()),
        static_cast<int>(late), samples);
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 10;
    SilentExchange(samples);
    ReadLatency(samples * 20);
    return 0;
}
