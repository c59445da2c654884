#include "control/run_state.h"
#include "descriptor_reading.h"
#include "pipe/security.h"
#include "pipe_test_support.h"

#include <atomic>
#include <string>
#include <thread>

namespace {

std::string SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return "<invalid>";
    }
    std::string ascii;
    for (LPWSTR unit = text; *unit != 0; ++unit) {
        ascii.push_back(static_cast<char>(*unit));
    }
    LocalFree(text);
    return ascii;
}

struct AceView {
    int type;
    int flags;
    DWORD mask;
    std::string sid;
};

AceView AceAt(PACL acl, DWORD index) {
    LPVOID raw = nullptr;
    if (!GetAce(acl, index, &raw)) {
        return {-1, -1, 0, "<missing>"};
    }
    auto *ace = static_cast<ACCESS_ALLOWED_ACE *>(raw);
    return {ace->Header.AceType, ace->Header.AceFlags, ace->Mask, SidText(&ace->SidStart)};
}

PACL DaclOf(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
        return nullptr;
    }
    return dacl;
}

class PipeSecurity : public testing::Test {
  protected:
    void TearDown() override {
        ReleasePipeSecurity();
        AllocatePipeSecurityRecord = LocalAlloc;
    }
};

TEST_F(PipeSecurity, RecordGrantsAuthenticatedUsersAndAdministrators) {
    ASSERT_TRUE(CreatePipeSecurity());
    SECURITY_ATTRIBUTES *record = RunState.pipeSecurity;
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_EQ(record->bInheritHandle, FALSE);
    PSECURITY_DESCRIPTOR descriptor = record->lpSecurityDescriptor;
    ASSERT_NE(descriptor, nullptr);

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_EQ(control, SE_DACL_PRESENT | SE_SELF_RELATIVE);
    EXPECT_EQ(GetSecurityDescriptorLength(descriptor), 72u);

    PACL dacl = DaclOf(descriptor);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AclRevision, 2);
    ASSERT_EQ(dacl->AceCount, 2);
    AceView users = AceAt(dacl, 0);
    EXPECT_EQ(users.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(users.flags, 0x03);
    EXPECT_EQ(users.mask, 0xC0000000u);
    EXPECT_EQ(users.sid, "S-1-5-11");
    AceView administrators = AceAt(dacl, 1);
    EXPECT_EQ(administrators.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(administrators.flags, 0x03);
    EXPECT_EQ(administrators.mask, 0x10000000u);
    EXPECT_EQ(administrators.sid, "S-1-5-32-544");
}

TEST_F(PipeSecurity, ReleaseClearsAndASecondReleaseDoesNothing) {
    ReleasePipeSecurity();
    EXPECT_EQ(RunState.pipeSecurity, nullptr);
    ASSERT_TRUE(CreatePipeSecurity());
    ReleasePipeSecurity();
    EXPECT_EQ(RunState.pipeSecurity, nullptr);
    ReleasePipeSecurity();
    EXPECT_EQ(RunState.pipeSecurity, nullptr);
}

HLOCAL WINAPI FailingAllocation(UINT, SIZE_T) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(PipeSecurity, AllocationFailureKeepsItsErrorAndFreesTheDescriptor) {
    // The descriptor converted before the failure must be freed (LeakSanitizer checks the
    // native build) and the clean-up must not disturb the allocation's error.
    AllocatePipeSecurityRecord = FailingAllocation;
    EXPECT_LAST_ERROR(CreatePipeSecurity(), FALSE, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RunState.pipeSecurity, nullptr);
}

TEST_F(PipeSecurity, RacingReleasesFreeOnceAndNeverInsideTheStretch) {
    // The worker's pattern against the main thread's release after a time-out, many times
    // over: the record must stay valid for the whole stretch and be freed exactly once.
    constexpr int Rounds = 2000;
    std::atomic<bool> stop{false};
    std::thread releaser([&] {
        while (!stop.load()) {
            ReleasePipeSecurity();
        }
    });
    int violations = 0;
    for (int round = 0; round < Rounds; ++round) {
        BeginSecurityStretch();
        if (!CreatePipeSecurity()) {
            EndSecurityStretch();
            ADD_FAILURE() << "CreatePipeSecurity failed: " << GetLastError();
            break;
        }
        SECURITY_ATTRIBUTES *record = RunState.pipeSecurity;
        std::this_thread::yield();
        if (RunState.pipeSecurity != record || DaclOf(record->lpSecurityDescriptor) == nullptr) {
            ++violations;
        }
        EndSecurityStretch();
        ReleasePipeSecurity();
    }
    stop = true;
    releaser.join();
    EXPECT_EQ(violations, 0);
    EXPECT_EQ(RunState.pipeSecurity, nullptr);
}

// ---- The conversion call itself: the same results from Windows and from our layer -------

// ERROR_SUCCESS when the conversion succeeds, else the code it failed with.
DWORD Convert(const WCHAR *text, DWORD revision, PSECURITY_DESCRIPTOR *descriptor) {
    *descriptor = nullptr;
    SetLastErrorSentinel();
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text, revision, descriptor, nullptr)) {
        return ERROR_SUCCESS;
    }
    return GetLastError();
}

TEST(SecurityDescriptorString, MalformedStringsFailWithWindowsCodes) {
    // Each code with the revision given and the strings that fail with it.
    const struct {
        DWORD error;
        DWORD revision;
        std::initializer_list<const WCHAR *> texts;
    } cases[] = {
        {ERROR_INVALID_PARAMETER, 1, {WIDE("garbage"), WIDE("X:(A;;GA;;;BA)")}},
        {ERROR_INVALID_ACL,
         1,
         {WIDE("D:(A;OICI;GRGW;;;XX)"), WIDE("D:(A;ZZ;GRGW;;;AU)"), WIDE("D:(A;OICI;QQ;;;AU)"),
          WIDE("D:(A;OICI;GRGW;;;AU"), WIDE("D:(A;OICI;GRGW;;AU)"),
          WIDE("D:(A;OICI;GRGW;;;S-1-5-XYZ)")}},
        {ERROR_INVALID_ACE_CONDITION,
         1,
         {WIDE("D:(Z;OICI;GRGW;;;AU)"), WIDE("D:(A;OICI;GRGW;;;AU)(")}},
        {ERROR_UNKNOWN_REVISION, 2, {WIDE("D:(A;OICI;GRGW;;;AU)")}},
        {ERROR_UNKNOWN_REVISION, 0, {WIDE("D:(A;OICI;GRGW;;;AU)")}},
    };
    for (const auto &c : cases) {
        for (const WCHAR *const &text : c.texts) {
            PSECURITY_DESCRIPTOR descriptor;
            EXPECT_EQ(Convert(text, c.revision, &descriptor), c.error)
                << "revision " << c.revision << ", case " << (&c - cases) << "."
                << (&text - c.texts.begin());
        }
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_LAST_ERROR(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(nullptr, 1, &descriptor, nullptr),
        FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_LAST_ERROR(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(WIDE("D:"), 1, nullptr, nullptr),
        FALSE, ERROR_INVALID_PARAMETER);
}

TEST(SecurityDescriptorString, EmptyStringAndEmptyDacl) {
    PSECURITY_DESCRIPTOR descriptor;
    ASSERT_EQ(Convert(WIDE(""), 1, &descriptor), ERROR_SUCCESS);
    BOOL present = TRUE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    LocalFree(descriptor);

    ASSERT_EQ(Convert(WIDE("D:"), 1, &descriptor), ERROR_SUCCESS);
    dacl = DaclOf(descriptor);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 0);
    LocalFree(descriptor);
}

TEST(SecurityDescriptorString, TheWholeAcceptedGrammar) {
    PSECURITY_DESCRIPTOR descriptor;
    ASSERT_EQ(Convert(WIDE("D:(D;NPIO;GX;;;WD)(A;CI;0x1f01ff;;;SY)(A;OI;GAGR;;;CO)"
                           "(A;;GW;;;S-1-5-21-1004336348-1177238915-682003330-512)"),
                      1, &descriptor),
              ERROR_SUCCESS);
    PACL dacl = DaclOf(descriptor);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 4);
    AceView deny = AceAt(dacl, 0);
    EXPECT_EQ(deny.type, ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(deny.flags, NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE);
    EXPECT_EQ(deny.mask, GENERIC_EXECUTE);
    EXPECT_EQ(deny.sid, "S-1-1-0");
    AceView system = AceAt(dacl, 1);
    EXPECT_EQ(system.flags, CONTAINER_INHERIT_ACE);
    EXPECT_EQ(system.mask, 0x1f01ffu);
    EXPECT_EQ(system.sid, "S-1-5-18");
    AceView owner = AceAt(dacl, 2);
    EXPECT_EQ(owner.flags, OBJECT_INHERIT_ACE);
    EXPECT_EQ(owner.mask, GENERIC_ALL | GENERIC_READ);
    EXPECT_EQ(owner.sid, "S-1-3-0");
    AceView domain = AceAt(dacl, 3);
    EXPECT_EQ(domain.flags, 0);
    EXPECT_EQ(domain.mask, GENERIC_WRITE);
    EXPECT_EQ(domain.sid, "S-1-5-21-1004336348-1177238915-682003330-512");
    LPVOID beyond = nullptr;
    EXPECT_FALSE(GetAce(dacl, 4, &beyond));
    LocalFree(descriptor);
}

} // namespace
