// The dialog without a window: its fields live in memory, filled before a
// command runs and read back after it. Front-ends that run the device
// commands without the Windows dialog (the terminal, a rollout's lines)
// build on it; what they do with the status fields is theirs
// (StatusChanged).
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "dialog/dialog.h"

// The five identity fields, in the order of kIdentityFields.
using IdentityFields = std::array<std::string, 5>;

class FieldDialog : public Dialog {
  public:
    void SetField(int id, std::string text);
    std::string Field(int id) const;
    // True while the identity fields hold a completed identification.
    bool Identified() const;
    // The identity fields as they stand.
    IdentityFields CurrentIdentity() const;
    // The identity fields of every identification completed, in order: a
    // write identifies the device before and after it, and the fields keep
    // only the second.
    const std::vector<IdentityFields>& Identifications() const { return identifications_; }

    int GetItemText(int id, char* buffer, int size) override;
    std::uint32_t GetItemUnsigned(int id, bool& ok) override;
    void SetItemText(int id, const char* text) override;
    void EnableItem(int id, bool enable) override;
    // Nothing to show a box on: the front-end reports failures itself.
    void ShowMessageBox(const char* text, const char* caption, unsigned style) override;
    // No window asks for a file: the front-end names it.
    bool AskSavePath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override;
    bool AskOpenPath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override;
    bool ProgramDirectory(char* buffer, std::size_t size) override;
    void PostCommand(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;

  protected:
    // The status line is complete: ShowStatus writes the text first, then
    // the percentage.
    virtual void StatusChanged(const std::string& text, const std::string& percent);

  private:
    std::map<int, std::string> fields_;
    std::vector<IdentityFields> identifications_;
};
