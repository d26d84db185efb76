#include "protocol/message_catalogue.h"

namespace {

constexpr MessageEntry kEntries[] = {
#define VX40_MESSAGE(id, text) {id, text},
#include "resources/messages.inc"
#undef VX40_MESSAGE
};

}  // namespace

std::span<const MessageEntry> MessageEntries() {
    return kEntries;
}

std::string_view MessageText(int id) {
    for (const auto& entry : kEntries) {
        if (entry.id == id) return entry.text;
    }
    return {};
}

std::string_view MessageOf(ResultCode code) {
    const int id = MessageIdOf(code);
    return id == 0 ? std::string_view{} : MessageText(id);
}
