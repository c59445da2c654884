#include "pipe/security.h"

#include "control/run_state.h"

namespace {

// Keeps a release out of the worker's security stretch and out of another release. A plain
// static lock: it needs no destructor at process exit.
SRWLOCK securityLock = SRWLOCK_INIT;

} // namespace

HLOCAL(WINAPI *AllocatePipeSecurityRecord)(UINT flags, SIZE_T bytes) = LocalAlloc;

BOOL CreatePipeSecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            PipeSecurityDescriptor, SDDL_REVISION_1, &descriptor, nullptr)) {
        auto *record = static_cast<SECURITY_ATTRIBUTES *>(
            AllocatePipeSecurityRecord(LPTR, sizeof(SECURITY_ATTRIBUTES)));
        if (record != nullptr) {
            record->nLength = sizeof(SECURITY_ATTRIBUTES);
            record->lpSecurityDescriptor = descriptor;
            record->bInheritHandle = FALSE;
            RunState.pipeSecurity = record;
            return TRUE;
        }
    }
    DWORD error = GetLastError();
    if (descriptor != nullptr) {
        LocalFree(descriptor);
        descriptor = nullptr;
    }
    SetLastError(error);
    return FALSE;
}

void ReleasePipeSecurity() {
    AcquireSRWLockExclusive(&securityLock);
    SECURITY_ATTRIBUTES *record = RunState.pipeSecurity;
    RunState.pipeSecurity = nullptr;
    ReleaseSRWLockExclusive(&securityLock);
    if (record == nullptr) {
        return;
    }
    if (record->lpSecurityDescriptor != nullptr) {
        LocalFree(record->lpSecurityDescriptor);
    }
    LocalFree(record);
}

void BeginSecurityStretch() {
    AcquireSRWLockExclusive(&securityLock);
}

void EndSecurityStretch() {
    ReleaseSRWLockExclusive(&securityLock);
}
