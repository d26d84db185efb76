// A device's identity as JSON: the object the service log, the reports and
// vx40's --json output all write.
#pragma once

#include <array>
#include <nlohmann/json.hpp>

#include "dialog/field_dialog.h"

// The JSON names of the identity fields, in the order of kIdentityFields.
inline constexpr std::array<const char*, 5> kIdentityKeys = {
    "deviceType", "serialNumber", "bootVersion", "appVersion", "requiredBootVersion"};

// The identity fields as a JSON object under kIdentityKeys.
inline nlohmann::ordered_json IdentityJson(const IdentityFields& identity) {
    nlohmann::ordered_json device;
    for (std::size_t i = 0; i < kIdentityKeys.size(); ++i)
        device[kIdentityKeys[i]] = identity[i];
    return device;
}
