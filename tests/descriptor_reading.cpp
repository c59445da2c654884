// Reading a self-relative security descriptor back over the POSIX layer, by the layout that
// platform/posix/win32.h gives, as Windows reads it.
#include "descriptor_reading.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

const BYTE *Bytes(const void *pointer) {
    return static_cast<const BYTE *>(pointer);
}

template <typename Part> Part ReadPart(const BYTE *at) {
    Part part;
    std::memcpy(&part, at, sizeof part);
    return part;
}

} // namespace

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL *control, LPDWORD revision) {
    if (descriptor == nullptr || control == nullptr || revision == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto header = ReadPart<SECURITY_DESCRIPTOR_RELATIVE>(Bytes(descriptor));
    *revision = header.Revision;
    *control = header.Control;
    return TRUE;
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor) {
    const BYTE *base = Bytes(descriptor);
    auto header = ReadPart<SECURITY_DESCRIPTOR_RELATIVE>(base);
    DWORD length = sizeof header;
    // Owner and group are SIDs; SACL and DACL are ACLs carrying their own size.
    const DWORD sids[] = {header.Owner, header.Group};
    const DWORD acls[] = {header.Sacl, header.Dacl};
    for (DWORD offset : sids) {
        if (offset != 0) {
            length = std::max(length, offset + GetLengthSid(const_cast<BYTE *>(base + offset)));
        }
    }
    for (DWORD offset : acls) {
        if (offset != 0) {
            length = std::max<DWORD>(length, offset + ReadPart<ACL>(base + offset).AclSize);
        }
    }
    return length;
}

BOOL IsValidSid(PSID sid) {
    return sid != nullptr && Bytes(sid)[offsetof(SID, Revision)] == SID_REVISION &&
           Bytes(sid)[offsetof(SID, SubAuthorityCount)] <= SID_MAX_SUB_AUTHORITIES;
}

DWORD GetLengthSid(PSID sid) {
    return offsetof(SID, SubAuthority) +
           sizeof(DWORD) * static_cast<DWORD>(Bytes(sid)[offsetof(SID, SubAuthorityCount)]);
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR *text) {
    if (!IsValidSid(sid) || text == nullptr) {
        SetLastError(!IsValidSid(sid) ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const BYTE *bytes = Bytes(sid);
    // The authority is a 48-bit number, most significant byte first.
    std::uint64_t authority = 0;
    for (std::size_t i = 0; i < sizeof(SID_IDENTIFIER_AUTHORITY); ++i) {
        authority = (authority << 8) | bytes[offsetof(SID, IdentifierAuthority) + i];
    }
    std::string ascii = "S-1-" + std::to_string(authority);
    for (BYTE i = 0; i < bytes[offsetof(SID, SubAuthorityCount)]; ++i) {
        ascii += '-';
        ascii += std::to_string(
            ReadPart<DWORD>(bytes + offsetof(SID, SubAuthority) + sizeof(DWORD) * i));
    }
    auto *result = static_cast<WCHAR *>(LocalAlloc(LPTR, (ascii.size() + 1) * sizeof(WCHAR)));
    if (result == nullptr) {
        return FALSE;
    }
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        result[i] = static_cast<WCHAR>(ascii[i]);
    }
    *text = result;
    return TRUE;
}
