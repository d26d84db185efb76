// The status line on stderr. On a terminal it is one line redrawn in place;
// otherwise (a log, a pipe) every change is a line of its own. Quiet mode
// shows nothing.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/utf8_prefix.h"

class StatusOutput {
  public:
    StatusOutput(std::FILE* stream, bool terminal, bool quiet);

    // The status text and its percentage, as the dialog's two fields show
    // them. A repeat of what is shown already changes nothing.
    void Show(std::string_view text, std::string_view percent);

    // Ends a line drawn in place, so that other output on the same stream
    // starts on a line of its own.
    void BreakLine();

  private:
    std::FILE* stream_;
    bool terminal_;
    bool quiet_;
    std::string shown_;
    std::size_t shownWidth_ = 0;  // characters on the line drawn in place
    bool lineOpen_ = false;
};
