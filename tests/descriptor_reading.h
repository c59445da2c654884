// The Win32 calls that read a whole security descriptor back, which only the tests and the
// fuzz targets make: Windows has them, and over the POSIX layer, which the program needs
// only for a descriptor's DACL, descriptor_reading.cpp provides them.
#pragma once

#include "platform/platform.h"

#ifndef _WIN32
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL *control, LPDWORD revision);
DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor);
BOOL IsValidSid(PSID sid);
DWORD GetLengthSid(PSID sid);
BOOL ConvertSidToStringSidW(PSID sid, LPWSTR *text);
#endif
