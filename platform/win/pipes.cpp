// Named pipes on Windows belong to the system's pipe namespace, not to the file system.
#include "platform/platform.h"

DWORD PipeSocketPath(const WCHAR *, WCHAR *, DWORD) {
    return 0;
}

DWORD PipeFailureCause(DWORD, WCHAR *, DWORD) {
    return 0;
}

DWORD LargestPipeMessage(WCHAR *, DWORD) {
    return 0;
}

BOOL PipeCarriesMessage(DWORD) {
    return TRUE;
}
