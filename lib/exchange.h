// Internal to libpipeword: an exchange's record, and the causes it reports in words.
#pragma once

#include "lib/include/pipeword.h"
#include "lib/text.h"

#include <string>
#include <vector>

struct pipeword_exchange {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    Text name; // the pipe's Win32 name, as connected
    DWORD wait = 0;
    // The outcome of the last call: its code and its cause (UTF-8, shown safely); when the
    // memory for the cause ran out, outOfMemory instead.
    DWORD error = ERROR_SUCCESS;
    std::string cause;
    bool outOfMemory = false;
    std::vector<unsigned char> reply;
    std::vector<unsigned char> piece; // where ReadFile puts each piece of the reply
};

// Why a pipe could not be opened, in words, for the codes that users meet; on Linux the
// layer's cause where the code alone does not tell. 'call' (CreateFileW, WaitNamedPipeW)
// failed with 'error' just now, on this thread, for the pipe 'name' after a wait of 'wait'
// ms. Ends with the call and its code, as every cause does.
Text OpenFailure(const Text &name, DWORD wait, const WCHAR *call, DWORD error);

// "WHAT (CALL w/err 0x...)".
Text CallFailure(const Text &what, const WCHAR *call, DWORD error);

// The largest request the pipe takes here: PIPEWORD_LARGEST_REQUEST or, where the system's
// pipes carry less (on Linux, by its socket settings), theirs, with what sets it in 'cause'
// (else empty).
DWORD LargestRequestHere(Text *cause);

// Whether a request of 'size' bytes is too large for this system's pipes; the cause if so.
bool TooLargeHere(std::size_t size, Text *cause);
