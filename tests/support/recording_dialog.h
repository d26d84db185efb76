// A dialog for tests: holds the fields in memory and records every call in
// order, so a test can check exactly what the operator would have seen.
// Safe to use from a worker thread while the test thread looks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dialog/dialog.h"
#include "dialog/item_number.h"

class RecordingDialog : public Dialog {
  public:
    // What the Save As or Open question answers.
    struct Answer {
        bool confirm = true;
        std::string path;  // the chosen path; empty keeps the proposed name
        std::uint32_t error = 0;
    };

    void SetField(int id, const std::string& text) {
        std::lock_guard lock(mutex_);
        fields_[id] = text;
    }
    std::string Field(int id) const {
        std::lock_guard lock(mutex_);
        auto found = fields_.find(id);
        return found == fields_.end() ? std::string() : found->second;
    }
    std::vector<std::string> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // The calls whose text starts with `prefix`.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& call : Calls()) {
            if (call.rfind(prefix, 0) == 0) found.push_back(call);
        }
        return found;
    }
    // Status line changes as "text percent", in order.
    std::vector<std::string> StatusHistory() const {
        std::vector<std::string> history;
        std::string text;
        for (const auto& call : Calls()) {
            if (call.rfind("set 1017 ", 0) == 0) text = call.substr(9);
            if (call.rfind("set 1018 ", 0) == 0) history.push_back(text + " " + call.substr(9));
        }
        return history;
    }
    std::vector<std::string> Boxes() const { return CallsStartingWith("box "); }
    bool Enabled(int id) const {
        std::lock_guard lock(mutex_);
        auto found = disabled_.find(id);
        return found == disabled_.end() || !found->second;
    }

    void AnswerSave(Answer answer) {
        std::lock_guard lock(mutex_);
        saveAnswer_ = std::move(answer);
    }
    void AnswerOpen(Answer answer) {
        std::lock_guard lock(mutex_);
        openAnswer_ = std::move(answer);
    }
    void SetProgramDirectory(std::string directory) {
        std::lock_guard lock(mutex_);
        programDirectory_ = std::move(directory);
    }
    // Called (outside the lock) when a message box is shown, as if the
    // operator took this long to dismiss it.
    std::function<void(const std::string& text)> onBox;

    int GetItemText(int id, char* buffer, int size) override {
        std::lock_guard lock(mutex_);
        calls_.push_back("get " + std::to_string(id));
        if (size <= 0) return 0;
        const std::string& text = fields_[id];
        const auto length = std::min(text.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
        return static_cast<int>(length);
    }
    std::uint32_t GetItemUnsigned(int id, bool& ok) override {
        std::lock_guard lock(mutex_);
        calls_.push_back("getnumber " + std::to_string(id));
        // The text goes to the front-ends' own reading, so the product
        // decides what a node field holds.
        return UnsignedItemValue(fields_[id], ok);
    }
    void SetItemText(int id, const char* text) override {
        std::lock_guard lock(mutex_);
        fields_[id] = text;
        calls_.push_back("set " + std::to_string(id) + " " + text);
    }
    void EnableItem(int id, bool enable) override {
        std::lock_guard lock(mutex_);
        disabled_[id] = !enable;
        calls_.push_back((enable ? "enable " : "disable ") + std::to_string(id));
    }
    void ShowMessageBox(const char* text, const char* caption, unsigned style) override {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::string("box ") + caption + " " + std::to_string(style) + " " +
                             text);
        }
        if (onBox) onBox(text);
    }
    bool AskSavePath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override {
        return Ask("save", saveAnswer_, nameBuffer, size, initialDir, extendedError);
    }
    bool AskOpenPath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override {
        return Ask("open", openAnswer_, nameBuffer, size, initialDir, extendedError);
    }
    bool ProgramDirectory(char* buffer, std::size_t size) override {
        std::lock_guard lock(mutex_);
        if (programDirectory_.empty() || programDirectory_.size() >= size) return false;
        std::memcpy(buffer, programDirectory_.c_str(), programDirectory_.size() + 1);
        return true;
    }
    void PostCommand(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
        std::lock_guard lock(mutex_);
        calls_.push_back("post " + std::to_string(message) + " " + std::to_string(wParam) + " " +
                         std::to_string(lParam));
    }

  private:
    bool Ask(const char* kind, const Answer& answerRef, char* nameBuffer, std::size_t size,
             const char* initialDir, std::uint32_t& extendedError) {
        std::lock_guard lock(mutex_);
        const Answer answer = answerRef;
        calls_.push_back(std::string(kind) + " [" + nameBuffer + "] dir=" +
                         (initialDir == nullptr ? std::string("null") : std::string(initialDir)));
        extendedError = answer.error;
        if (!answer.confirm) return false;
        if (!answer.path.empty() && answer.path.size() < size) {
            std::memcpy(nameBuffer, answer.path.c_str(), answer.path.size() + 1);
        }
        return true;
    }

    mutable std::mutex mutex_;
    std::map<int, std::string> fields_;
    std::map<int, bool> disabled_;
    std::vector<std::string> calls_;
    Answer saveAnswer_;
    Answer openAnswer_{false, "", 0};
    std::string programDirectory_ = "/opt/vx40/";
};
