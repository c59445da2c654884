// Security descriptors in the Windows binary layout (self-relative), converted from the
// descriptor-definition strings a pipe needs, and read back with the Win32 inspection calls;
// and the mode of a pipe's socket file that a descriptor amounts to (SocketModeFor).
//
// Grammar accepted: an optional "D:" section holding a list of ACEs "(type;flags;rights;;;sid)"
// with type A or D; flags from OI CI NP IO; rights GA GR GW GX or a hex mask 0x...; SID one of
// AU BA WD SY CO or S-1-... . Malformed input fails with the codes Windows gives
// (87, 1336, 1705, 1305). Sections and ACE forms that Windows accepts but this layer does not
// implement (O:, G:, S:, DACL flags such as P) fail with ERROR_NOT_SUPPORTED rather than being
// ignored.
#include "platform/posix/layer.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t DescriptorHeaderSize = 20; // revision, sbz1, control, 4 offsets
constexpr std::size_t AclHeaderSize = 8;
constexpr std::size_t AceHeaderSize = 8; // ACE_HEADER + mask
constexpr std::size_t MaxSubAuthorities = 15;

struct ParsedAce {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::vector<BYTE> sid;
};

using Text = std::u16string_view;

void PutWord(BYTE *at, WORD value) {
    std::memcpy(at, &value, sizeof value);
}
void PutDword(BYTE *at, DWORD value) {
    std::memcpy(at, &value, sizeof value);
}
WORD GetWord(const BYTE *at) {
    WORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
DWORD GetDword(const BYTE *at) {
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::vector<BYTE> MakeSid(std::uint64_t authority, std::initializer_list<DWORD> subAuthorities) {
    std::vector<BYTE> sid(8 + 4 * subAuthorities.size());
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    for (int i = 0; i < 6; ++i) {
        sid[2 + i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
    }
    std::size_t at = 8;
    for (DWORD sub : subAuthorities) {
        PutDword(&sid[at], sub);
        at += 4;
    }
    return sid;
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
    text.remove_prefix(4);
    std::vector<Text> parts;
    for (std::size_t dash; (dash = text.find(u'-')) != Text::npos; text.remove_prefix(dash + 1)) {
        parts.push_back(text.substr(0, dash));
    }
    parts.push_back(text);
    if (parts.size() > MaxSubAuthorities + 1) {
        return false;
    }
    std::uint64_t authority;
    if (!ParseDecimal(parts[0], 0xFFFFFFFFu, &authority)) {
        return false;
    }
    std::vector<BYTE> result = MakeSid(authority, {});
    result[1] = static_cast<BYTE>(parts.size() - 1);
    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::uint64_t sub;
        if (!ParseDecimal(parts[i], 0xFFFFFFFFu, &sub)) {
            return false;
        }
        BYTE bytes[4];
        PutDword(bytes, static_cast<DWORD>(sub));
        result.insert(result.end(), bytes, bytes + 4);
    }
    *sid = std::move(result);
    return true;
}

bool ParseFlags(Text text, BYTE *flags) {
    *flags = 0;
    for (; !text.empty(); text.remove_prefix(2)) {
        Text code = text.substr(0, 2);
        if (code == u"OI") {
            *flags |= OBJECT_INHERIT_ACE;
        } else if (code == u"CI") {
            *flags |= CONTAINER_INHERIT_ACE;
        } else if (code == u"NP") {
            *flags |= NO_PROPAGATE_INHERIT_ACE;
        } else if (code == u"IO") {
            *flags |= INHERIT_ONLY_ACE;
        } else {
            return false;
        }
    }
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
    for (; !text.empty(); text.remove_prefix(2)) {
        Text code = text.substr(0, 2);
        if (code == u"GA") {
            *mask |= GENERIC_ALL;
        } else if (code == u"GR") {
            *mask |= GENERIC_READ;
        } else if (code == u"GW") {
            *mask |= GENERIC_WRITE;
        } else if (code == u"GX") {
            *mask |= GENERIC_EXECUTE;
        } else {
            return false;
        }
    }
    return true;
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
    Text fields[6];
    std::size_t count = 0;
    for (;;) {
        std::size_t semicolon = body.find(u';');
        if (count == 6) {
            return ERROR_INVALID_ACL;
        }
        fields[count++] = body.substr(0, semicolon);
        if (semicolon == Text::npos) {
            break;
        }
        body.remove_prefix(semicolon + 1);
    }
    if (count != 6 || !ParseFlags(fields[1], &ace->flags) || !ParseRights(fields[2], &ace->mask) ||
        !fields[3].empty() || !fields[4].empty() || !ParseSid(fields[5], &ace->sid)) {
        return ERROR_INVALID_ACL;
    }
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
        aclSize += AceHeaderSize + ace.sid.size();
    }
    if (aclSize > 0xFFFF) {
        return FailWith(ERROR_INVALID_ACL);
    }
    std::size_t total = DescriptorHeaderSize + (hasDacl ? aclSize : 0);
    auto *block = static_cast<BYTE *>(LocalAlloc(LPTR, total));
    if (block == nullptr) {
        return FALSE;
    }
    block[0] = SECURITY_DESCRIPTOR_REVISION;
    PutWord(block + 2, static_cast<WORD>(SE_SELF_RELATIVE | (hasDacl ? SE_DACL_PRESENT : 0)));
    if (hasDacl) {
        PutDword(block + 16, static_cast<DWORD>(DescriptorHeaderSize));
        BYTE *acl = block + DescriptorHeaderSize;
        acl[0] = ACL_REVISION;
        PutWord(acl + 2, static_cast<WORD>(aclSize));
        PutWord(acl + 4, static_cast<WORD>(aces.size()));
        BYTE *at = acl + AclHeaderSize;
        for (const ParsedAce &ace : aces) {
            at[0] = ace.type;
            at[1] = ace.flags;
            PutWord(at + 2, static_cast<WORD>(AceHeaderSize + ace.sid.size()));
            PutDword(at + 4, ace.mask);
            std::memcpy(at + AceHeaderSize, ace.sid.data(), ace.sid.size());
            at += AceHeaderSize + ace.sid.size();
        }
    }
    *descriptor = block;
    if (size != nullptr) {
        *size = static_cast<DWORD>(total);
    }
    return TRUE;
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL *control, LPDWORD revision) {
    if (descriptor == nullptr || control == nullptr || revision == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    *revision = Bytes(descriptor)[0];
    *control = GetWord(Bytes(descriptor) + 2);
    return TRUE;
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor) {
    const BYTE *base = Bytes(descriptor);
    DWORD length = DescriptorHeaderSize;
    // Owner and group are SIDs; SACL and DACL are ACLs carrying their own size.
    for (int field = 0; field < 4; ++field) {
        DWORD offset = GetDword(base + 4 + 4 * field);
        if (offset == 0) {
            continue;
        }
        DWORD size = field < 2 ? GetLengthSid(const_cast<BYTE *>(base + offset))
                               : GetWord(base + offset + 2);
        if (offset + size > length) {
            length = offset + size;
        }
    }
    return length;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL *present, PACL *dacl,
                               BOOL *defaulted) {
    if (descriptor == nullptr || present == nullptr || dacl == nullptr || defaulted == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const BYTE *base = Bytes(descriptor);
    WORD control = GetWord(base + 2);
    *present = (control & SE_DACL_PRESENT) != 0;
    *defaulted = (control & 0x0008u) != 0;
    DWORD offset = GetDword(base + 16);
    *dacl = *present && offset != 0 ? reinterpret_cast<PACL>(const_cast<BYTE *>(base + offset))
                                    : nullptr;
    return TRUE;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID *ace) {
    if (acl == nullptr || ace == nullptr || index >= acl->AceCount) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    BYTE *at = reinterpret_cast<BYTE *>(acl) + AclHeaderSize;
    for (DWORD i = 0; i < index; ++i) {
        at += GetWord(at + 2);
    }
    *ace = at;
    return TRUE;
}

BOOL IsValidSid(PSID sid) {
    return sid != nullptr && Bytes(sid)[0] == 1 && Bytes(sid)[1] <= MaxSubAuthorities;
}

DWORD GetLengthSid(PSID sid) {
    return 8 + 4 * static_cast<DWORD>(Bytes(sid)[1]);
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR *text) {
    if (!IsValidSid(sid) || text == nullptr) {
        return FailWith(!IsValidSid(sid) ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER);
    }
    const BYTE *bytes = Bytes(sid);
    std::uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) {
        authority = (authority << 8) | bytes[2 + i];
    }
    std::string ascii = "S-1-" + std::to_string(authority);
    for (BYTE i = 0; i < bytes[1]; ++i) {
        ascii += '-';
        ascii += std::to_string(GetDword(bytes + 8 + 4 * i));
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
        ACE_HEADER header;
        DWORD mask;
        std::memcpy(&header, bytes, sizeof header);
        std::memcpy(&mask, bytes + sizeof header, sizeof mask);
        constexpr std::size_t sidOffset = sizeof header + sizeof mask;
        if ((header.AceFlags & INHERIT_ONLY_ACE) != 0 || header.AceSize < sidOffset ||
            !IsWorldSid(bytes + sidOffset, header.AceSize - sidOffset)) {
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
