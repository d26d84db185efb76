#include "cli/trace_output.h"

#include <string>

#include "cli/status_output.h"

void TraceFrame(void* context, TraceDirection direction, const std::uint8_t* bytes, int count) {
    auto& trace = *static_cast<TraceOutput*>(context);
    const auto elapsed = std::chrono::steady_clock::now() - trace.start;
    const double ms = std::chrono::duration<double, std::milli>(elapsed).count();

    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(32 + static_cast<std::size_t>(count) * 3);
    char head[48];
    std::snprintf(head, sizeof head, "[%10.3f ms] %s", ms,
                  direction == TraceDirection::Sent ? "tx" : "rx");
    line += head;
    for (int i = 0; i < count; ++i) {
        line += ' ';
        line += kDigits[bytes[i] >> 4];
        line += kDigits[bytes[i] & 0xF];
    }
    line += '\n';
    trace.status.BreakLine();
    std::fputs(line.c_str(), trace.stream);
    std::fflush(trace.stream);
}
