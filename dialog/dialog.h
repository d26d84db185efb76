// The dialog as the operations see it. The Windows dialog, the terminal
// front-end and the tests' recording fake each implement it. Texts are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/message_catalogue.h"

class Dialog {
  public:
    virtual ~Dialog() = default;

    // Copies the text of control `id` into `buffer` (at most size - 1 bytes and
    // a terminator) and returns its length; an empty text when the control
    // cannot be read.
    virtual int GetItemText(int id, char* buffer, int size) = 0;
    // The text of control `id` read as an unsigned decimal number; `ok` is
    // false when it is empty or not a number (the value is then 0).
    virtual std::uint32_t GetItemUnsigned(int id, bool& ok) = 0;
    virtual void SetItemText(int id, const char* text) = 0;
    virtual void EnableItem(int id, bool enable) = 0;
    // Copies catalogue entry `id` into `buffer` (at most size - 1 bytes) and
    // returns its length, 0 when there is no such entry. The Windows dialog
    // loads it from the program's string table.
    virtual int LoadMessage(int id, char* buffer, int size) {
        const std::string_view text = MessageText(id);
        if (size <= 0) return 0;
        const std::size_t length = text.size() < static_cast<std::size_t>(size) - 1
                                       ? text.size()
                                       : static_cast<std::size_t>(size) - 1;
        text.copy(buffer, length);
        buffer[length] = '\0';
        return static_cast<int>(length);
    }
    // A modal message box; returns when the operator has dismissed it.
    virtual void ShowMessageBox(const char* text, const char* caption, unsigned style) = 0;

    // The Save As question. `nameBuffer` (`size` bytes) holds the proposed
    // name and receives the chosen full path; `initialDir` is the folder to
    // start in, or null for the system's own choice. True when a name was
    // confirmed; otherwise `extendedError` is 0 for a cancel and positive when
    // the dialog itself failed.
    virtual bool AskSavePath(char* nameBuffer, std::size_t size, const char* initialDir,
                             std::uint32_t& extendedError) = 0;
    // The Open question for a module file, as above; the buffer starts empty.
    virtual bool AskOpenPath(char* nameBuffer, std::size_t size, const char* initialDir,
                             std::uint32_t& extendedError) = 0;
    // The program's own folder, with its trailing separator. False when it
    // cannot be determined.
    virtual bool ProgramDirectory(char* buffer, std::size_t size) = 0;
    // Posts a command back to the dialog's own message queue.
    virtual void PostCommand(std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) = 0;
};
