// The resources of the built Windows program: its version information, its icon and its manifest.
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#ifndef TOVREL_PROGRAM_EXE
#error "TOVREL_PROGRAM_EXE must name the built program"
#endif

namespace {

// The built program's path as Windows sees it; a build tree on a POSIX host is drive Z: under Wine.
std::wstring ProgramPath() {
    std::string path = TOVREL_PROGRAM_EXE;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::wstring wide(path.begin(), path.end());
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    return wide;
}

std::wstring VersionString(const std::vector<char>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0) return L"";
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST(ProgramResources, VersionInformationNamesTheProductAndItsVersion) {
    const std::wstring exe = ProgramPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version information in the program";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));

    EXPECT_EQ(VersionString(info, L"ProductName"), L"Radio Tovrel Monitor & Server");
    EXPECT_EQ(VersionString(info, L"ProductVersion"), TOVREL_PROJECT_VERSION_W);
    EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"tovrel-radio.exe");
    EXPECT_NE(VersionString(info, L"FileDescription").find(L"Radio Tovrel"), std::wstring::npos);

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, (static_cast<DWORD>(TOVREL_PROJECT_VERSION_MAJOR) << 16) |
                                          static_cast<DWORD>(TOVREL_PROJECT_VERSION_MINOR));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST(ProgramResources, IconIsTheFirstOfTheProgramInEverySizeWanted) {
    const std::wstring exe = ProgramPath();
    EXPECT_EQ(ExtractIconExW(exe.c_str(), -1, nullptr, nullptr, 0), 1u);

    const HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    for (const int side : {16, 32, 48}) {
        const HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, side, side, 0));
        ASSERT_NE(icon, nullptr) << side;
        ICONINFO iconInfo{};
        ASSERT_TRUE(GetIconInfo(icon, &iconInfo));
        BITMAP colour{};
        ASSERT_NE(GetObjectW(iconInfo.hbmColor, sizeof colour, &colour), 0);
        EXPECT_EQ(colour.bmWidth, side);
        DeleteObject(iconInfo.hbmColor);
        DeleteObject(iconInfo.hbmMask);
        DestroyIcon(icon);
    }
    FreeLibrary(module);
}

TEST(ProgramResources, ManifestAsksForEachMonitorsDpiWithFallbacks) {
    const HMODULE module = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const HGLOBAL loaded = LoadResource(module, found);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    ASSERT_NE(bytes, nullptr);
    const std::string manifest(bytes, SizeofResource(module, found));
    FreeLibrary(module);
    for (const char* part : {">PerMonitorV2, PerMonitor</dpiAwareness>", ">true/pm</dpiAware>",
                             "level=\"asInvoker\" uiAccess=\"false\""}) {
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    }
}

}  // namespace
