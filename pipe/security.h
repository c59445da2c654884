// The pipe's security record: any authenticated user may read and write the pipe, and
// administrators have full access.
#pragma once

#include "platform/platform.h"

inline const WCHAR *const PipeSecurityDescriptor = WIDE("D:(A;OICI;GRGW;;;AU)(A;OICI;GA;;;BA)");

// Builds the record into RunState.pipeSecurity. On failure nothing stays allocated and the
// last-error code is that of the step that failed.
BOOL CreatePipeSecurity();

// Frees the record and its descriptor if one is held; safe from either thread, any number
// of times.
void ReleasePipeSecurity();

// The worker's security stretch: from building the record until the pipe creation call has
// returned. A release waits for the stretch to end.
void BeginSecurityStretch();
void EndSecurityStretch();

// The record's allocation; a test can replace it to make it fail.
extern HLOCAL(WINAPI *AllocatePipeSecurityRecord)(UINT flags, SIZE_T bytes);
