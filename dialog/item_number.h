// Reading a dialog field as an unsigned number, for dialogs that hold their
// fields as text (the terminal front-end): digits only, as the Windows edit
// control's number filter lets through, and no more than 32 bits.
#pragma once

#include <cstdint>
#include <string_view>

// The value of `text`; `ok` is false (and the value 0) when the text is
// empty, holds anything but the digits 0-9, or does not fit 32 bits.
std::uint32_t UnsignedItemValue(std::string_view text, bool& ok);
