// The reader behind `vx40 log` on a damaged service log: cut lines, bytes
// that are not UTF-8, huge numbers, fields of the wrong type, junk. Holds,
// for every input:
//  - it returns (AddressSanitizer and UndefinedBehaviorSanitizer watching);
//  - every line that is not blank is an entry, counted as damaged, or a
//    write's start folded into its end;
//  - every row has the table's eight columns, and none holds a control
//    character that would move the cursor or break the row;
//  - --last N keeps exactly the last N entries of the whole listing.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "cli/log_command.h"

namespace {

bool Printable(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) return false;
        if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::istringstream all(text);
    const ServiceLogListing listing = ReadServiceLog(all, 0);
    std::size_t lines = 0;
    std::istringstream count(text);
    for (std::string line; std::getline(count, line);)
        lines += !line.empty() && line != "\r";
    if (listing.entries.size() + static_cast<std::size_t>(listing.damaged + listing.folded) !=
        lines)
        std::abort();
    for (const ServiceLogEntry& entry : listing.entries) {
        if (entry.row.size() != 8) std::abort();
        for (const std::string& column : entry.row) {
            if (!Printable(column)) std::abort();
        }
    }

    std::istringstream again(text);
    const ServiceLogListing last = ReadServiceLog(again, 2);
    const std::size_t kept = listing.entries.size() < 2 ? listing.entries.size() : 2;
    if (last.entries.size() != kept || last.damaged != listing.damaged) std::abort();
    for (std::size_t i = 0; i < kept; ++i) {
        const ServiceLogEntry& tail = listing.entries[listing.entries.size() - kept + i];
        if (last.entries[i].line != tail.line || last.entries[i].row != tail.row) std::abort();
    }
    return 0;
}
