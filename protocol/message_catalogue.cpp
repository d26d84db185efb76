#include "protocol/message_catalogue.h"

std::string_view MessageText(int id) {
    for (const auto& entry : catalogue_detail::kEntries) {
        if (entry.id == id) return entry.text;
    }
    return {};
}

std::string_view MessageOf(ResultCode code) {
    const int id = MessageIdOf(code);
    return id == 0 ? std::string_view{} : MessageText(id);
}
