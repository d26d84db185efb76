// The exit codes of vx40, which scripts rely on.
#pragma once

#include "protocol/result_code.h"

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitOther = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFile = 3;
inline constexpr int kExitPort = 4;
inline constexpr int kExitNoDevice = 5;
inline constexpr int kExitDeviceRefused = 6;
inline constexpr int kExitInterrupted = 130;

// The exit code of a command's result. `targetExists`: a backup was refused
// because its file exists and --force was not given.
int ExitCodeOf(ResultCode result, bool targetExists);
