// The security descriptor parser. The input is the descriptor string, one code unit per byte
// after a first byte that picks the call's other arguments. A success must give a descriptor
// that reads back consistently (length, DACL, every ACE and SID inside it) and that prints
// back to a string parsing to the very same bytes; a failure must leave the output pointer
// alone, allocate nothing that stays (LeakSanitizer checks each input), and report one of
// the parser's documented codes.
#include "fuzz/harness.h"
#include "platform/posix/layer.h"
#include "tests/descriptor_reading.h"

#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

const auto Untouched = reinterpret_cast<PSECURITY_DESCRIPTOR>(std::uintptr_t{0x5A5A});

std::u16string HexMask(DWORD mask) {
    static const char16_t digits[] = u"0123456789abcdef";
    std::u16string text = u"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += digits[(mask >> shift) & 0xF];
    }
    return text;
}

std::u16string FlagText(BYTE flags) {
    std::u16string text;
    if (flags & OBJECT_INHERIT_ACE) {
        text += u"OI";
    }
    if (flags & CONTAINER_INHERIT_ACE) {
        text += u"CI";
    }
    if (flags & NO_PROPAGATE_INHERIT_ACE) {
        text += u"NP";
    }
    if (flags & INHERIT_ONLY_ACE) {
        text += u"IO";
    }
    return text;
}

// Walks a converted descriptor; returns it printed back as a descriptor string.
std::u16string CheckDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD reportedSize) {
    DWORD length = GetSecurityDescriptorLength(descriptor);
    REQUIRE(length >= 20);
    REQUIRE(length <= __sanitizer_get_allocated_size(descriptor));
    if (reportedSize != 0) {
        REQUIRE(reportedSize == length);
    }
    const auto *base = static_cast<const BYTE *>(descriptor);

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    REQUIRE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    REQUIRE(revision == SECURITY_DESCRIPTOR_REVISION);
    REQUIRE((control & SE_SELF_RELATIVE) != 0);

    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    REQUIRE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    REQUIRE(present == ((control & SE_DACL_PRESENT) != 0));
    REQUIRE(!defaulted);
    if (!present) {
        REQUIRE(dacl == nullptr);
        REQUIRE(length == 20);
        return u"";
    }
    REQUIRE(dacl != nullptr);
    const auto *aclStart = reinterpret_cast<const BYTE *>(dacl);
    REQUIRE(aclStart >= base + 20);
    REQUIRE(dacl->AclRevision == ACL_REVISION);
    REQUIRE(dacl->AclSize >= 8);
    REQUIRE(aclStart + dacl->AclSize <= base + length);

    std::u16string text = u"D:";
    const BYTE *expectedAce = aclStart + 8;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        LPVOID entry = nullptr;
        REQUIRE(GetAce(dacl, i, &entry));
        const auto *ace = static_cast<const BYTE *>(entry);
        REQUIRE(ace == expectedAce);
        ACE_HEADER header;
        std::memcpy(&header, ace, sizeof header);
        DWORD mask;
        std::memcpy(&mask, ace + 4, sizeof mask);
        REQUIRE(header.AceType == ACCESS_ALLOWED_ACE_TYPE ||
                header.AceType == ACCESS_DENIED_ACE_TYPE);
        REQUIRE((header.AceFlags & ~0xFu) == 0);
        REQUIRE(header.AceSize >= 16);
        REQUIRE(ace + header.AceSize <= aclStart + dacl->AclSize);
        auto *sid = const_cast<BYTE *>(ace + 8);
        REQUIRE(IsValidSid(sid));
        REQUIRE(header.AceSize == 8 + GetLengthSid(sid));
        LPWSTR sidText = nullptr;
        REQUIRE(ConvertSidToStringSidW(sid, &sidText));
        text += header.AceType == ACCESS_ALLOWED_ACE_TYPE ? u"(A;" : u"(D;";
        text += FlagText(header.AceFlags) + u";" + HexMask(mask) + u";;;" + sidText + u")";
        LocalFree(sidText);
        expectedAce = ace + header.AceSize;
    }
    REQUIRE(expectedAce == aclStart + dacl->AclSize);
    LPVOID beyond = nullptr;
    SetLastError(0);
    REQUIRE(!GetAce(dacl, dacl->AceCount, &beyond));
    REQUIRE(GetLastError() == ERROR_INVALID_PARAMETER);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return -1;
    }
    // The first byte: 0 to 3 as usual (the size requested or not), then the unusual calls.
    BYTE how = data[0] % 8;
    std::u16string text(data + 1, data + size);
    DWORD revision = how == 4 ? data[0] / 8 % 3 : SDDL_REVISION_1;
    const WCHAR *string = how == 5 ? nullptr : text.c_str();
    PSECURITY_DESCRIPTOR descriptor = Untouched;
    PSECURITY_DESCRIPTOR *out = how == 6 ? nullptr : &descriptor;
    DWORD size32 = 0;
    DWORD *reported = how % 2 == 1 ? &size32 : nullptr;

    SetLastError(0);
    BOOL converted =
        ConvertStringSecurityDescriptorToSecurityDescriptorW(string, revision, out, reported);
    DWORD error = GetLastError();
    if (!converted) {
        REQUIRE(descriptor == Untouched);
        REQUIRE(error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_ACL ||
                error == ERROR_INVALID_ACE_CONDITION || error == ERROR_UNKNOWN_REVISION ||
                error == ERROR_NOT_SUPPORTED);
        REQUIRE(string != nullptr || error == ERROR_INVALID_PARAMETER);
        REQUIRE(out != nullptr || error == ERROR_INVALID_PARAMETER);
        REQUIRE(revision == SDDL_REVISION_1 || error == ERROR_UNKNOWN_REVISION ||
                error == ERROR_INVALID_PARAMETER);
        return 0;
    }
    REQUIRE(string != nullptr && out != nullptr && revision == SDDL_REVISION_1);
    REQUIRE(descriptor != Untouched && descriptor != nullptr);
    std::u16string printed = CheckDescriptor(descriptor, reported != nullptr ? size32 : 0);

    // Printed back and parsed again, it is the same descriptor, byte for byte.
    PSECURITY_DESCRIPTOR again = nullptr;
    DWORD againSize = 0;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(printed.c_str(), SDDL_REVISION_1,
                                                                 &again, &againSize));
    DWORD length = GetSecurityDescriptorLength(descriptor);
    REQUIRE(againSize == length);
    REQUIRE(std::memcmp(again, descriptor, length) == 0);
    LocalFree(again);
    LocalFree(descriptor);
    return 0;
}
