// Application activation: command 20, one exchange, no identification.
#pragma once

#include <cstdint>

#include "dialog/command_context.h"
#include "protocol/result_code.h"

inline constexpr std::uint8_t kCommandActivate = 20;
inline constexpr const char* kStatusActivated = "Приложение активировано.";

ResultCode ActivateApplication(CommandContext& context, std::uint8_t node);
ResultCode ActivateApplicationCommand(CommandContext& context);
