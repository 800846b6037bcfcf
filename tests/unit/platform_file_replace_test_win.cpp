// The Windows replace of config.json: the replaced file keeps its attributes, a missing file is
// created, and a program holding the old file for a moment is waited for.
#include "platform/file_replace.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/test_support.hpp"

namespace {

TEST(FileReplaceWin, ReplacedFileKeepsItsAttributesAndHeldFileIsWaitedFor) {
    TempDir dir;
    const std::filesystem::path target = dir / "config.json";
    ASSERT_TRUE(WriteFileBytes(target, "old"));
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

    // Held open without delete sharing for a while, as a virus scanner might.
    HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread release([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        CloseHandle(held);
    });
    const std::filesystem::path source = TempFileBeside(target);
    ASSERT_TRUE(WriteNewFileDurably(source, "new"));
    const bool replaced = ReplaceFileAtomically(source, target);
    release.join();
    EXPECT_TRUE(replaced);
    EXPECT_EQ(ReadFileBytes(target), "new");
    EXPECT_FALSE(std::filesystem::exists(source));
    EXPECT_NE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

    // Nothing to replace yet: the new file is moved into place.
    const std::filesystem::path fresh = dir / "fresh.json";
    const std::filesystem::path source2 = TempFileBeside(fresh);
    ASSERT_TRUE(WriteNewFileDurably(source2, "first"));
    EXPECT_TRUE(ReplaceFileAtomically(source2, fresh));
    EXPECT_EQ(ReadFileBytes(fresh), "first");
}

}  // namespace
