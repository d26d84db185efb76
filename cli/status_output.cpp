#include "cli/status_output.h"

StatusOutput::StatusOutput(std::FILE* stream, bool terminal, bool quiet)
    : stream_(stream), terminal_(terminal), quiet_(quiet) {}

void StatusOutput::Show(std::string_view text, std::string_view percent) {
    if (quiet_) return;
    std::string line(text);
    line += ' ';
    line += percent;
    if (line == shown_ && (lineOpen_ || !terminal_)) return;
    shown_ = line;

    if (!terminal_) {
        std::fprintf(stream_, "%s\n", line.c_str());
        std::fflush(stream_);
        return;
    }
    // Overwrite the previous text; spaces clear what a longer one left.
    const std::size_t width = Utf8Width(line);
    if (width < shownWidth_) line.append(shownWidth_ - width, ' ');
    std::fprintf(stream_, "\r%s", line.c_str());
    std::fflush(stream_);
    shownWidth_ = width;
    lineOpen_ = true;
}

void StatusOutput::BreakLine() {
    if (!lineOpen_) return;
    std::fputc('\n', stream_);
    std::fflush(stream_);
    lineOpen_ = false;
    shownWidth_ = 0;
}
