// What Windows reads from pipeword.exe and pipeword-client.exe themselves: a console image
// for the machine of this build (x86 or x64), a version resource of each one's own and the
// same application manifest, which names that machine.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// The machine this build is for, as the PE header and the manifest name it.
#ifdef _WIN64
constexpr int ImageMachine = 0x8664;        // IMAGE_FILE_MACHINE_AMD64
constexpr int OptionalHeaderMagic = 0x020B; // PE32+
constexpr const char *ManifestArchitecture = "processorArchitecture=\"amd64\"";
#else
constexpr int ImageMachine = 0x014C;        // IMAGE_FILE_MACHINE_I386
constexpr int OptionalHeaderMagic = 0x010B; // PE32
constexpr const char *ManifestArchitecture = "processorArchitecture=\"x86\"";
#endif

struct Executable {
    const wchar_t *file;
    const wchar_t *internalName;
    const wchar_t *description;
};

const Executable Executables[] = {
    {L"pipeword.exe", L"pipeword", L"Hands one control word to one client over a named pipe"},
    {L"pipeword-client.exe", L"pipeword-client",
     L"Writes one request to a pipeword server and prints its reply"},
};

class Resources : public testing::TestWithParam<Executable> {};

std::vector<char> VersionBlock(const wchar_t *file) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(file, &ignored);
    std::vector<char> block(size);
    if (size == 0 || !GetFileVersionInfoW(file, 0, size, block.data())) {
        block.clear();
    }
    return block;
}

TEST_P(Resources, FixedVersionIs1_0_0_5ForAWin32Application) {
    std::vector<char> block = VersionBlock(GetParam().file);
    ASSERT_FALSE(block.empty()) << "no version resource, error " << GetLastError();
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000005u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000005u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_P(Resources, UsEnglishUnicodeStringsAndTranslation) {
    std::vector<char> block = VersionBlock(GetParam().file);
    ASSERT_FALSE(block.empty());
    WORD *translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
    for (const wchar_t *key : {L"\\StringFileInfo\\040904b0\\FileVersion",
                               L"\\StringFileInfo\\040904b0\\ProductVersion"}) {
        wchar_t *value = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), key, reinterpret_cast<void **>(&value), &length))
            << "missing " << key;
        EXPECT_EQ(std::wstring(value), L"1.0.0.5");
    }
    const std::pair<const wchar_t *, const wchar_t *> own[] = {
        {L"\\StringFileInfo\\040904b0\\OriginalFilename", GetParam().file},
        {L"\\StringFileInfo\\040904b0\\InternalName", GetParam().internalName},
        {L"\\StringFileInfo\\040904b0\\FileDescription", GetParam().description},
    };
    for (const auto &[key, expected] : own) {
        wchar_t *value = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), key, reinterpret_cast<void **>(&value), &length))
            << "missing " << key;
        EXPECT_EQ(std::wstring(value), expected);
    }
}

TEST_P(Resources, ManifestRunsAsInvokerWithoutUiAccessOnThisMachine) {
    HMODULE image = LoadLibraryExW(GetParam().file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr) << GetLastError();
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no RT_MANIFEST with id 1";
    HGLOBAL loaded = LoadResource(image, found);
    const char *text = static_cast<const char *>(LockResource(loaded));
    std::string manifest(text, SizeofResource(image, found));
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find(ManifestArchitecture), std::string::npos) << manifest;
    FreeLibrary(image);
}

TEST_P(Resources, AConsoleImageForThisMachine) {
    const std::wstring name = GetParam().file; // plain ASCII
    std::ifstream file(std::string(name.begin(), name.end()), std::ios::binary);
    std::vector<unsigned char> image((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    ASSERT_GT(image.size(), 0x200u);
    auto word = [&](std::size_t at) { return image[at] | (image[at + 1] << 8); };
    ASSERT_EQ(word(0), 0x5A4D); // MZ
    std::size_t pe = word(0x3C) | (word(0x3E) << 16);
    ASSERT_LT(pe + 0x60, image.size());
    EXPECT_EQ(word(pe), 0x4550); // PE
    EXPECT_EQ(word(pe + 4), ImageMachine);
    EXPECT_EQ(word(pe + 24), OptionalHeaderMagic);
    // The subsystem sits at the same offset in both kinds of optional header.
    EXPECT_EQ(word(pe + 24 + 68), 3); // IMAGE_SUBSYSTEM_WINDOWS_CUI
}

INSTANTIATE_TEST_SUITE_P(BothExecutables, Resources, testing::ValuesIn(Executables),
                         [](const testing::TestParamInfo<Executable> &info) {
                             return info.index == 0 ? "pipeword" : "pipeword_client";
                         });

} // namespace
