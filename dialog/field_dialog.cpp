#include "dialog/field_dialog.h"

#include <algorithm>
#include <cstring>

#include "dialog/control_ids.h"
#include "dialog/item_number.h"

void FieldDialog::SetField(int id, std::string text) {
    fields_[id] = std::move(text);
}

std::string FieldDialog::Field(int id) const {
    const auto found = fields_.find(id);
    return found == fields_.end() ? std::string() : found->second;
}

bool FieldDialog::Identified() const {
    // An identification blanks the five fields first and fills the last of
    // them, the required boot version, only once it has succeeded; that
    // field is never empty after a success.
    return !Field(kIdRequiredBoot).empty();
}

IdentityFields FieldDialog::CurrentIdentity() const {
    IdentityFields fields;
    for (std::size_t i = 0; i < fields.size(); ++i)
        fields[i] = Field(kIdentityFields[i]);
    return fields;
}

int FieldDialog::GetItemText(int id, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    const std::string text = Field(id);
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

std::uint32_t FieldDialog::GetItemUnsigned(int id, bool& ok) {
    return UnsignedItemValue(Field(id), ok);
}

void FieldDialog::SetItemText(int id, const char* text) {
    fields_[id] = text != nullptr ? text : "";
    // The required boot version is filled last, and only by an
    // identification that succeeded (see Identified).
    if (id == kIdRequiredBoot && Identified()) identifications_.push_back(CurrentIdentity());
    if (id == kIdStatusPercent) StatusChanged(Field(kIdStatusText), fields_[id]);
}

void FieldDialog::EnableItem(int, bool) {}

void FieldDialog::ShowMessageBox(const char*, const char*, unsigned) {}

bool FieldDialog::AskSavePath(char*, std::size_t, const char*, std::uint32_t& extendedError) {
    extendedError = 0;
    return false;
}

bool FieldDialog::AskOpenPath(char*, std::size_t, const char*, std::uint32_t& extendedError) {
    extendedError = 0;
    return false;
}

bool FieldDialog::ProgramDirectory(char* buffer, std::size_t size) {
    // Offered to the file questions only, which the front-end answers.
    if (size > 0) buffer[0] = '\0';
    return true;
}

void FieldDialog::PostCommand(std::uint32_t, std::uintptr_t, std::intptr_t) {}

void FieldDialog::StatusChanged(const std::string&, const std::string&) {}
