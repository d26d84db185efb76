// The dialog seam over a real Win32 dialog window. The operations speak
// UTF-8; every text goes to and comes from the window as UTF-16 through the
// wide-character calls, so Russian shows correctly whatever the system's
// code page, and paths with any characters can be chosen and opened.
//
// Called from the worker thread as well as the window thread: the dialog-item
// calls send messages, which the system carries out on the window thread.
#pragma once

#include <windows.h>

#include <string>

#include "dialog/dialog.h"

class Win32Dialog final : public Dialog {
  public:
    // Binds to the dialog window once it exists; `instance` is the module
    // that holds the string table.
    void Attach(HWND window, HINSTANCE instance);
    HWND Window() const { return window_; }

    int GetItemText(int id, char* buffer, int size) override;
    std::uint32_t GetItemUnsigned(int id, bool& ok) override;
    void SetItemText(int id, const char* text) override;
    void EnableItem(int id, bool enable) override;
    int LoadMessage(int id, char* buffer, int size) override;
    void ShowMessageBox(const char* text, const char* caption, unsigned style) override;
    bool AskSavePath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override;
    bool AskOpenPath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override;
    bool ProgramDirectory(char* buffer, std::size_t size) override;
    void PostCommand(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    enum class FileQuestion { Open, Save };
    bool AskPath(FileQuestion question, char* nameBuffer, std::size_t size, const char* initialDir,
                 std::uint32_t& extendedError);

    HWND window_ = nullptr;
    HINSTANCE instance_ = nullptr;
};
