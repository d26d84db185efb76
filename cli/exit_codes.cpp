#include "cli/exit_codes.h"

int ExitCodeOf(ResultCode result, bool targetExists) {
    if (targetExists) return kExitFile;
    switch (result) {
        case kResultOk:
            return kExitSuccess;
        case kErrFileOpen:
        case kErrFileRead:
        case kErrNotModule:
        case kErrFileCreate:
        case kErrFileWrite:
            return kExitFile;
        case kErrPortOpen:
            return kExitPort;
        case kErrBadPlan:
            return kExitUsage;
        case kErrNoDevice:
        case kErrExchange:
            return kExitNoDevice;
        case kErrAborted:
            return kExitInterrupted;
        default:
            break;
    }
    if (result >= kErrDeviceOtherSerial && result <= kErrDeviceBadBlock) return kExitDeviceRefused;
    return kExitOther;
}
