// Security descriptors in the Windows binary layout (self-relative), converted from the
// descriptor-definition strings a pipe needs, and their DACL read back with the Win32 calls;
// and the mode of a pipe's socket file that a descriptor amounts to (SocketModeFor).
//
// Grammar accepted: an optional "D:" section holding a list of ACEs "(type;flags;rights;;;sid)"
// with type A or D; flags from OI CI NP IO; rights GA GR GW GX or a hex mask 0x...; SID one of
// AU BA WD SY CO or S-1-... . Malformed input fails with the codes Windows gives
// (87, 1336, 1705, 1305). Sections and ACE forms that Windows accepts but this layer does not
// implement (O:, G:, S:, DACL flags such as P) fail with ERROR_NOT_SUPPORTED rather than being
// ignored.
#include "platform/posix/layer.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace {

// The self-relative layout: the descriptor's header, then its DACL, an ACL header followed
// by its ACEs, each an ACE header and an access mask before its SID; a SID is a fixed part
// (revision, count, authority) before its sub-authorities.
constexpr std::size_t DescriptorHeaderSize = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
constexpr std::size_t AclHeaderSize = sizeof(ACL);
constexpr std::size_t AceMaskOffset = offsetof(ACCESS_ALLOWED_ACE, Mask);
constexpr std::size_t AceSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
constexpr std::size_t SidHeaderSize = offsetof(SID, SubAuthority);
static_assert(DescriptorHeaderSize == 20 && AclHeaderSize == 8 && AceSidOffset == 8 &&
              SidHeaderSize == 8);
// An ACL's size is a WORD.
constexpr std::size_t LargestAcl = 0xFFFF;

struct ParsedAce {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::vector<BYTE> sid;
};

using Text = std::u16string_view;

// Copies a part of the layout out of a block, or into one.
template <typename Part> Part ReadPart(const BYTE *at) {
    Part part;
    std::memcpy(&part, at, sizeof part);
    return part;
}
template <typename Part> void WritePart(BYTE *at, const Part &part) {
    std::memcpy(at, &part, sizeof part);
}

std::vector<BYTE> MakeSid(std::uint64_t authority, std::span<const DWORD> subAuthorities) {
    std::vector<BYTE> sid(SidHeaderSize + sizeof(DWORD) * subAuthorities.size());
    sid[offsetof(SID, Revision)] = SID_REVISION;
    sid[offsetof(SID, SubAuthorityCount)] = static_cast<BYTE>(subAuthorities.size());
    // The authority is a 48-bit number, most significant byte first.
    for (std::size_t i = 0; i < sizeof(SID_IDENTIFIER_AUTHORITY); ++i) {
        sid[offsetof(SID, IdentifierAuthority) + i] =
            static_cast<BYTE>(authority >> (8 * (sizeof(SID_IDENTIFIER_AUTHORITY) - 1 - i)));
    }
    for (std::size_t i = 0; i < subAuthorities.size(); ++i) {
        WritePart(&sid[SidHeaderSize + sizeof(DWORD) * i], subAuthorities[i]);
    }
    return sid;
}

// Splits 'text' at each 'separator' into at most 'room' fields; returns how many fields the
// text holds, room + 1 when it holds more.
std::size_t Split(Text text, char16_t separator, Text *fields, std::size_t room) {
    for (std::size_t count = 0;; ++count) {
        if (count == room) {
            return room + 1;
        }
        std::size_t end = text.find(separator);
        fields[count] = text.substr(0, end);
        if (end == Text::npos) {
            return count + 1;
        }
        text.remove_prefix(end + 1);
    }
}

// A two-letter code of the string form and the bits it stands for.
struct Code {
    Text letters;
    DWORD bits;
};

constexpr Code AceFlagCodes[] = {{u"OI", OBJECT_INHERIT_ACE},
                                 {u"CI", CONTAINER_INHERIT_ACE},
                                 {u"NP", NO_PROPAGATE_INHERIT_ACE},
                                 {u"IO", INHERIT_ONLY_ACE}};
constexpr Code RightCodes[] = {
    {u"GA", GENERIC_ALL}, {u"GR", GENERIC_READ}, {u"GW", GENERIC_WRITE}, {u"GX", GENERIC_EXECUTE}};

// Parses a run of two-letter codes into the union of their bits; false on anything else.
bool ParseCodes(Text text, std::span<const Code> codes, DWORD *bits) {
    *bits = 0;
    for (; !text.empty(); text.remove_prefix(2)) {
        Text letters = text.substr(0, 2);
        auto code = std::find_if(codes.begin(), codes.end(),
                                 [&](const Code &known) { return known.letters == letters; });
        if (code == codes.end()) {
            return false;
        }
        *bits |= code->bits;
    }
    return true;
}

// Parses an unsigned decimal number of at most 'limit'; false on anything else.
bool ParseDecimal(Text digits, std::uint64_t limit, std::uint64_t *value) {
    if (digits.empty() || digits.size() > 20) {
        return false;
    }
    std::uint64_t result = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') {
            return false;
        }
        result = result * 10 + static_cast<std::uint64_t>(c - u'0');
        if (result > limit) {
            return false;
        }
    }
    *value = result;
    return true;
}

bool ParseSid(Text text, std::vector<BYTE> *sid) {
    struct Alias {
        Text name;
        std::uint64_t authority;
        std::initializer_list<DWORD> subs;
    };
    static const Alias aliases[] = {
        {u"AU", 5, {11}}, {u"BA", 5, {32, 544}}, {u"WD", 1, {0}}, {u"SY", 5, {18}}, {u"CO", 3, {0}},
    };
    for (const Alias &alias : aliases) {
        if (text == alias.name) {
            *sid = MakeSid(alias.authority, alias.subs);
            return true;
        }
    }
    if (text.substr(0, 4) != u"S-1-") {
        return false;
    }
    // The authority, then the sub-authorities.
    Text parts[SID_MAX_SUB_AUTHORITIES + 1];
    std::size_t count = Split(text.substr(4), u'-', parts, std::size(parts));
    if (count > std::size(parts)) {
        return false;
    }
    std::uint64_t numbers[std::size(parts)];
    for (std::size_t i = 0; i < count; ++i) {
        if (!ParseDecimal(parts[i], 0xFFFFFFFFu, &numbers[i])) {
            return false;
        }
    }
    DWORD subAuthorities[SID_MAX_SUB_AUTHORITIES];
    for (std::size_t i = 1; i < count; ++i) {
        subAuthorities[i - 1] = static_cast<DWORD>(numbers[i]);
    }
    *sid = MakeSid(numbers[0], std::span<const DWORD>(subAuthorities, count - 1));
    return true;
}

bool ParseRights(Text text, DWORD *mask) {
    *mask = 0;
    if (text.substr(0, 2) == u"0x" || text.substr(0, 2) == u"0X") {
        text.remove_prefix(2);
        if (text.empty() || text.size() > 8) {
            return false;
        }
        for (char16_t c : text) {
            DWORD digit;
            if (c >= u'0' && c <= u'9') {
                digit = c - u'0';
            } else if (c >= u'a' && c <= u'f') {
                digit = c - u'a' + 10;
            } else if (c >= u'A' && c <= u'F') {
                digit = c - u'A' + 10;
            } else {
                return false;
            }
            *mask = (*mask << 4) | digit;
        }
        return true;
    }
    return ParseCodes(text, RightCodes, mask);
}

// Parses one ACE starting just after its '('. On success, 'text' is left after its ')'.
DWORD ParseAce(Text *text, ParsedAce *ace) {
    std::size_t typeEnd = text->find_first_of(u";)");
    Text type = text->substr(0, typeEnd);
    if (type == u"A") {
        ace->type = ACCESS_ALLOWED_ACE_TYPE;
    } else if (type == u"D") {
        ace->type = ACCESS_DENIED_ACE_TYPE;
    } else {
        return ERROR_INVALID_ACE_CONDITION;
    }
    std::size_t close = text->find(u')');
    if (close == Text::npos) {
        return ERROR_INVALID_ACL;
    }
    Text body = text->substr(0, close);
    text->remove_prefix(close + 1);
    // type;flags;rights;object;inherited object;sid
    Text fields[6];
    DWORD flags = 0;
    if (Split(body, u';', fields, std::size(fields)) != std::size(fields) ||
        !ParseCodes(fields[1], AceFlagCodes, &flags) || !ParseRights(fields[2], &ace->mask) ||
        !fields[3].empty() || !fields[4].empty() || !ParseSid(fields[5], &ace->sid)) {
        return ERROR_INVALID_ACL;
    }
    ace->flags = static_cast<BYTE>(flags);
    return ERROR_SUCCESS;
}

// Parses the whole string; returns ERROR_SUCCESS or the code to fail with.
DWORD ParseDescriptor(Text text, bool *hasDacl, std::vector<ParsedAce> *aces) {
    *hasDacl = false;
    while (!text.empty()) {
        if (text.size() < 2 || text[1] != u':') {
            return ERROR_INVALID_PARAMETER;
        }
        char16_t section = text[0];
        if (section == u'O' || section == u'G' || section == u'S') {
            return ERROR_NOT_SUPPORTED;
        }
        if (section != u'D' || *hasDacl) {
            return ERROR_INVALID_PARAMETER;
        }
        *hasDacl = true;
        text.remove_prefix(2);
        if (!text.empty() && text[0] != u'(' &&
            (text[0] == u'P' || text.substr(0, 2) == u"AI" || text.substr(0, 2) == u"AR")) {
            return ERROR_NOT_SUPPORTED;
        }
        while (!text.empty() && text[0] == u'(') {
            text.remove_prefix(1);
            ParsedAce ace{};
            if (DWORD error = ParseAce(&text, &ace); error != ERROR_SUCCESS) {
                return error;
            }
            aces->push_back(std::move(ace));
        }
        // Only another section may follow an ACE list.
        if (!text.empty() && (text.size() < 2 || text[1] != u':')) {
            return ERROR_INVALID_ACL;
        }
    }
    return ERROR_SUCCESS;
}

const BYTE *Bytes(const void *pointer) {
    return static_cast<const BYTE *>(pointer);
}

// Everyone (S-1-1-0) or Authenticated Users (S-1-5-11).
bool IsWorldSid(const BYTE *sid, std::size_t room) {
    static const BYTE everyone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    static const BYTE authenticatedUsers[] = {1, 1, 0, 0, 0, 0, 0, 5, 11, 0, 0, 0};
    return room >= sizeof everyone && (std::memcmp(sid, everyone, sizeof everyone) == 0 ||
                                       std::memcmp(sid, authenticatedUsers, sizeof everyone) == 0);
}

} // namespace

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR *descriptor,
                                                          DWORD *size) {
    if (text == nullptr || descriptor == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (revision != SDDL_REVISION_1) {
        return FailWith(ERROR_UNKNOWN_REVISION);
    }
    bool hasDacl = false;
    std::vector<ParsedAce> aces;
    if (DWORD error = ParseDescriptor(Text(text), &hasDacl, &aces); error != ERROR_SUCCESS) {
        return FailWith(error);
    }

    std::size_t aclSize = AclHeaderSize;
    for (const ParsedAce &ace : aces) {
        aclSize += AceSidOffset + ace.sid.size();
    }
    if (aclSize > LargestAcl) {
        return FailWith(ERROR_INVALID_ACL);
    }
    std::size_t total = DescriptorHeaderSize + (hasDacl ? aclSize : 0);
    auto *block = static_cast<BYTE *>(LocalAlloc(LPTR, total));
    if (block == nullptr) {
        return FALSE;
    }
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = static_cast<WORD>(SE_SELF_RELATIVE | (hasDacl ? SE_DACL_PRESENT : 0));
    header.Dacl = hasDacl ? static_cast<DWORD>(DescriptorHeaderSize) : 0;
    WritePart(block, header);
    if (hasDacl) {
        ACL acl{};
        acl.AclRevision = ACL_REVISION;
        acl.AclSize = static_cast<WORD>(aclSize);
        acl.AceCount = static_cast<WORD>(aces.size());
        WritePart(block + header.Dacl, acl);
        BYTE *at = block + header.Dacl + AclHeaderSize;
        for (const ParsedAce &ace : aces) {
            ACE_HEADER aceHeader{ace.type, ace.flags,
                                 static_cast<WORD>(AceSidOffset + ace.sid.size())};
            WritePart(at, aceHeader);
            WritePart(at + AceMaskOffset, ace.mask);
            std::memcpy(at + AceSidOffset, ace.sid.data(), ace.sid.size());
            at += aceHeader.AceSize;
        }
    }
    *descriptor = block;
    if (size != nullptr) {
        *size = static_cast<DWORD>(total);
    }
    return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL *present, PACL *dacl,
                               BOOL *defaulted) {
    if (descriptor == nullptr || present == nullptr || dacl == nullptr || defaulted == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const BYTE *base = Bytes(descriptor);
    auto header = ReadPart<SECURITY_DESCRIPTOR_RELATIVE>(base);
    *present = (header.Control & SE_DACL_PRESENT) != 0;
    *defaulted = (header.Control & SE_DACL_DEFAULTED) != 0;
    *dacl = *present && header.Dacl != 0
                ? reinterpret_cast<PACL>(const_cast<BYTE *>(base + header.Dacl))
                : nullptr;
    return TRUE;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID *ace) {
    if (acl == nullptr || ace == nullptr || index >= acl->AceCount) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    BYTE *at = reinterpret_cast<BYTE *>(acl) + AclHeaderSize;
    for (DWORD i = 0; i < index; ++i) {
        at += ReadPart<ACE_HEADER>(at).AceSize;
    }
    *ace = at;
    return TRUE;
}

// The socket file's mode for a security record. Connecting needs write permission, so the
// file is open to all (0666) when the descriptor lets Authenticated Users or Everyone write
// and has no deny entry for them, and owner-only (0600) otherwise, as Windows' default
// descriptor is. A descriptor without a DACL grants everyone everything, as on Windows.
bool SocketModeFor(const SECURITY_ATTRIBUTES *security, mode_t *mode) {
    *mode = 0600;
    if (security == nullptr || security->lpSecurityDescriptor == nullptr) {
        return true;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(security->lpSecurityDescriptor, &present, &dacl, &defaulted)) {
        return false;
    }
    if (!present || dacl == nullptr) {
        *mode = 0666;
        return true;
    }
    bool allowed = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        LPVOID entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            return false;
        }
        const auto *bytes = static_cast<const BYTE *>(entry);
        auto header = ReadPart<ACE_HEADER>(bytes);
        auto mask = ReadPart<DWORD>(bytes + AceMaskOffset);
        if ((header.AceFlags & INHERIT_ONLY_ACE) != 0 || header.AceSize < AceSidOffset ||
            !IsWorldSid(bytes + AceSidOffset, header.AceSize - AceSidOffset)) {
            continue;
        }
        if (header.AceType == ACCESS_DENIED_ACE_TYPE) {
            return true; // stays owner-only
        }
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE && (mask & GrantsWrite) != 0) {
            allowed = true;
        }
    }
    if (allowed) {
        *mode = 0666;
    }
    return true;
}
