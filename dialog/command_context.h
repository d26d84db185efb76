// What every command works with: the dialog it reads its inputs from and
// reports to, and the line it talks over. Programs keep one instance for the
// whole run; each test makes its own.
#pragma once

#include <functional>

#include "dialog/dialog.h"
#include "exchange/line_state.h"

class Event;

struct CommandContext {
    // Binds the command event to the line, so that the channel sees Stop.
    CommandContext(Dialog& dialogIn, LineState& lineIn, Event& commandEventIn)
        : dialog(dialogIn), line(lineIn), commandEvent(commandEventIn) {
        line.abortEvent = &commandEvent;
    }

    Dialog& dialog;
    LineState& line;
    // The command event: set for every button press; the channel tests it to
    // notice Stop and Exit, and the search waits on it between attempts.
    Event& commandEvent;
    // Whether a file dialog has already offered the program's folder. Only
    // the first one of a run does.
    bool InitialDirUsed = false;

    // Not shown by the dialog; the terminal front-end reports them.
    // The system's reason for the last file failure.
    char reason[256] = {};
    // Records the device accepted during the last module write.
    int recordsAccepted = 0;
    // Whether the last identification's presence check was answered: a
    // failure after it is no missing device, whatever ended it.
    bool presenceAnswered = false;
    // Called by a module write once the device is identified, just before
    // its first block goes out. A failure it returns ends the write there,
    // with nothing sent: a rollout decides at this moment whether the write
    // may begin, and its journal notes that it has.
    std::function<ResultCode()> beforeFirstBlock;
    // Told when a search finds the port gone (`back` false; the system's
    // reason in the line's channel.lastError) and again once it has opened
    // it anew (`back` true). The terminal front-end prints a notice; the
    // dialog has its status line.
    std::function<void(bool back)> portGoneNotice;
};
