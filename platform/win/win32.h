// Windows: the real Win32 API, passed through.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <sddl.h>
#include <process.h>

// Wide string literal: UTF-16 on both platforms.
#define WIDE(s) L##s

// Codes that mingw-w64's headers do not name.
#ifndef ERROR_INVALID_ACE_CONDITION
#define ERROR_INVALID_ACE_CONDITION 1705L
#endif
