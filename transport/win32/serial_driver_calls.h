// The calls through which the Windows serial channel reaches the port's
// driver, as one table. The channel always goes through it; the system's own
// functions fill it, and a check may put a scripted driver in their place to
// show what no port under Wine does: a line error that stays latched, an
// event character never signalled, a request that never completes.
#pragma once

#include <windows.h>

struct SerialDriverCalls {
    decltype(&::CreateFileW) createFile;
    decltype(&::CloseHandle) closePort;
    decltype(&::SetCommState) setCommState;
    decltype(&::SetCommTimeouts) setCommTimeouts;
    decltype(&::SetCommMask) setCommMask;
    decltype(&::PurgeComm) purgeComm;
    decltype(&::ClearCommError) clearCommError;
    decltype(&::WaitCommEvent) waitCommEvent;
    decltype(&::ReadFile) readFile;
    decltype(&::WriteFile) writeFile;
    decltype(&::CancelIoEx) cancelIoEx;
    decltype(&::GetOverlappedResult) getOverlappedResult;
};

// The table in use; the system's own calls unless a check replaced them.
SerialDriverCalls& SerialDriver();
