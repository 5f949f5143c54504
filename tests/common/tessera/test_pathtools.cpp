#include "pathtools.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_support.h"

namespace {

using halyard_test::TempDirTest;

TEST(PathStrings, SlashesJoinAndAbsolute) {
    EXPECT_EQ(Path_GetSlash(), '/');
    EXPECT_EQ(Path_FixSlashes("a\\b/c"), "a/b/c");
    EXPECT_EQ(Path_FixSlashes("a\\b/c", '\\'), "a\\b\\c");

    EXPECT_EQ(Path_Join("", "b"), "b");
    EXPECT_EQ(Path_Join("", "/b"), "/b");
    EXPECT_EQ(Path_Join("a", "b"), "a/b");
    EXPECT_EQ(Path_Join("a/", "b"), "a/b");
    EXPECT_EQ(Path_Join("a\\", "b"), "a/b");
    EXPECT_EQ(Path_Join("a//", "b"), "a//b");
    EXPECT_EQ(Path_Join("a", ""), "a/");
    EXPECT_EQ(Path_Join("/", "b"), "/b");
    EXPECT_EQ(Path_Join("a", "b", '\\'), "a\\b");
    EXPECT_EQ(Path_Join("a", "b", "c"), "a/b/c");
    EXPECT_EQ(Path_Join("a/", "b/", "c", "d"), "a/b/c/d");
    EXPECT_EQ(Path_Join("a", "b", "c", "d", "e"), "a/b/c/d/e");
    EXPECT_EQ(Path_Join("", "b", "c", '\\'), "b\\c");
    EXPECT_EQ(Path_Join("a", "b", "c", "d", "e", '\\'), "a\\b\\c\\d\\e");

    EXPECT_TRUE(Path_IsAbsolute("/x"));
    EXPECT_TRUE(Path_IsAbsolute("\\x"));
    EXPECT_FALSE(Path_IsAbsolute("x/y"));
    EXPECT_FALSE(Path_IsAbsolute(""));
}

TEST(PathStrings, StripAndExtension) {
    EXPECT_EQ(Path_RemoveTrailingSlash("a/b//"), "a/b");
    EXPECT_EQ(Path_RemoveTrailingSlash("//"), "/");
    EXPECT_EQ(Path_RemoveTrailingSlash("/"), "/");
    EXPECT_EQ(Path_RemoveTrailingSlash(""), "");
    EXPECT_EQ(Path_RemoveTrailingSlash("a\\", '\\'), "a");
    EXPECT_EQ(Path_RemoveTrailingSlash("a\\"), "a\\");

    EXPECT_EQ(Path_StripFilename("a/b/c.txt"), "a/b");
    EXPECT_EQ(Path_StripFilename("/a"), "");
    EXPECT_EQ(Path_StripFilename("name"), "name");
    EXPECT_EQ(Path_StripFilename("a\\b", '\\'), "a");
    EXPECT_EQ(Path_StripDirectory("a/b/c.txt"), "c.txt");
    EXPECT_EQ(Path_StripDirectory("name"), "name");
    EXPECT_EQ(Path_StripDirectory("a/"), "");
    EXPECT_EQ(Path_StripDirectory("a\\b", '\\'), "b");

    EXPECT_EQ(Path_StripExtension("a.d/b.tar.gz"), "a.d/b.tar");
    EXPECT_EQ(Path_StripExtension("a.d/b"), "a.d/b");
    EXPECT_EQ(Path_StripExtension("a.d\\b"), "a.d\\b");
    EXPECT_EQ(Path_StripExtension(".profile"), "");
    EXPECT_EQ(Path_StripExtension("noext"), "noext");
    EXPECT_EQ(Path_GetExtension("a/b.tar.gz"), "gz");
    EXPECT_EQ(Path_GetExtension("a.d/b"), "");
    EXPECT_EQ(Path_GetExtension("x."), "");
    EXPECT_EQ(Path_GetExtension(".profile"), "profile");
}

TEST(PathStrings, CompactAndMakeAbsolute) {
    EXPECT_EQ(Path_Compact("/a/./b/../c"), "/a/c");
    EXPECT_EQ(Path_Compact("/a/b/.."), "/a/");
    EXPECT_EQ(Path_Compact("./x"), "x");
    EXPECT_EQ(Path_Compact("/.."), "");
    EXPECT_EQ(Path_Compact("a/./"), "a/./");
    EXPECT_EQ(Path_Compact("a/."), "a/");
    EXPECT_EQ(Path_Compact("/a/././b"), "/a/b");
    EXPECT_EQ(Path_Compact("a/b/../../c"), "c");
    EXPECT_EQ(Path_Compact("/a/../.."), "");
    EXPECT_EQ(Path_Compact("../a"), "../a");
    EXPECT_EQ(Path_Compact("/a/.../b"), "/a/.../b");
    EXPECT_EQ(Path_Compact("/a/..b/c"), "/a/..b/c");
    EXPECT_EQ(Path_Compact("\\a\\.\\b\\..\\c"), "/a/c");
    EXPECT_EQ(Path_Compact("\\a\\.\\b\\..\\c", '\\'), "\\a\\c");
    EXPECT_EQ(Path_Compact(""), "");

    EXPECT_EQ(Path_MakeAbsolute("/x/./y", "/ignored"), "/x/y");
    EXPECT_EQ(Path_MakeAbsolute("b/../c", "/a"), "/a/c");
    EXPECT_EQ(Path_MakeAbsolute("../..", "/a"), "");
    EXPECT_EQ(Path_MakeAbsolute("x", "rel"), "");
    EXPECT_EQ(Path_MakeAbsolute("x", ""), "");

    EXPECT_TRUE(Path_IsSamePath("/a/./b", "/a/b"));
    EXPECT_TRUE(Path_IsSamePath("/a/x/../b", "\\a\\b"));
    EXPECT_FALSE(Path_IsSamePath("/A/b", "/a/b"));
}

TEST(PathStrings, SanitizeFilename) {
    EXPECT_EQ(Path_SanitizeFilename("a:b?.json"), "a_b_.json");
    EXPECT_EQ(Path_SanitizeFilename("a.b.txt"), "a_b.txt");
    EXPECT_EQ(Path_SanitizeFilename(".hidden"), "_hidden");
    EXPECT_EQ(Path_SanitizeFilename("name."), "name_");
    EXPECT_EQ(Path_SanitizeFilename("\"$%&*/:<>?@\\|x"), "_____________x");
    EXPECT_EQ(Path_SanitizeFilename(std::string("t\x01\x1f\x7f\xC3\xA9 z", 8)),
              std::string("t__\x7f__ z", 8));
    EXPECT_EQ(Path_SanitizeFilename("plain-name_1 (2)"), "plain-name_1 (2)");
}

TEST(PathStrings, FileUrls) {
    EXPECT_EQ(Path_FilePathToUrl("d/a b.txt", "/base"), "file:///base/d/a%20b.txt");
    EXPECT_EQ(Path_FilePathToUrl("/x/../y#1", "/ignored"), "file:///y%231");
    EXPECT_EQ(Path_FilePathToUrl("https://host/p", ""), "https://host/p");
    EXPECT_EQ(Path_FilePathToUrl("vr-input-zephyr://x", ""), "vr-input-zephyr://x");
    EXPECT_EQ(Path_FilePathToUrl("file:///a", ""), "file:///a");
    EXPECT_EQ(Path_FilePathToUrl("rel", "also-rel"), "");
    EXPECT_EQ(Path_FilePathToUrl("/\xC3\xA9", ""), "file:///%C3%A9");

    EXPECT_EQ(Path_UrlToFilePath("file:///a%20b"), "/a b");
    EXPECT_EQ(Path_UrlToFilePath("FILE:///a+b"), "/a+b");
    EXPECT_EQ(Path_UrlToFilePath("file:///a%5Cb"), "/a/b");
    EXPECT_EQ(Path_UrlToFilePath("http://x/y"), "");
    EXPECT_EQ(Path_UrlToFilePath("file:/"), "");
    EXPECT_EQ(Path_UrlToFilePath("file:///etc/passwd%00.png"), "");
    // Round trip.
    EXPECT_EQ(Path_UrlToFilePath(Path_FilePathToUrl("/t mp/%x/\xC3\xA9", "")), "/t mp/%x/\xC3\xA9");
}

class PathSearch : public TempDirTest {};

TEST_F(PathSearch, FindParentDirectories) {
    const std::string sDeep = TempPath("Root/mid/leaf");
    ASSERT_TRUE(BCreateDirectoryRecursive(sDeep.c_str()));
    ASSERT_TRUE(BCreateDirectory(TempPath("Root/res").c_str()));

    EXPECT_EQ(Path_FindParentDirectoryRecursively(sDeep, "root"), TempPath("Root"));
    EXPECT_EQ(Path_FindParentDirectoryRecursively(sDeep, "LEAF"), sDeep);
    EXPECT_EQ(Path_FindParentDirectoryRecursively(sDeep, "nowhere"), "");
    EXPECT_EQ(Path_FindParentDirectoryRecursively(TempPath("missing"), "Root"), "");
    EXPECT_EQ(Path_FindParentDirectoryRecursively("", "Root"), "");

    EXPECT_EQ(Path_FindParentSubDirectoryRecursively(sDeep, "res"), TempPath("Root/res"));
    // The start itself is not searched, only its ancestors.
    ASSERT_TRUE(BCreateDirectory(TempPath("Root/mid/leaf/own").c_str()));
    EXPECT_EQ(Path_FindParentSubDirectoryRecursively(sDeep, "own"), "");
    EXPECT_EQ(Path_FindParentSubDirectoryRecursively(sDeep, "leaf"), TempPath("Root/mid/leaf"));
    EXPECT_EQ(Path_FindParentSubDirectoryRecursively(TempPath("missing"), "Root"), "");

    // Relative starts stop at their first component instead of looping, and
    // never fall back to names relative to the working directory.
    std::string sOldCwd = Path_GetWorkingDirectory();
    ASSERT_TRUE(Path_SetWorkingDirectory(TempPath("Root")));
    EXPECT_EQ(Path_FindParentDirectoryRecursively("mid/leaf", "mid"), "mid");
    EXPECT_EQ(Path_FindParentDirectoryRecursively("mid", "other"), "");
    EXPECT_EQ(Path_FindParentSubDirectoryRecursively("mid/leaf", "res"), "");
    EXPECT_EQ(Path_FindParentSubDirectoryRecursively("/nonexistent-halyard/x", "res"), "");
    // An absolute start's last ancestor is the root.
    EXPECT_EQ(Path_FindParentSubDirectoryRecursively(TempDir(), "proc"), "/proc");
    ASSERT_TRUE(Path_SetWorkingDirectory(sOldCwd));
}

}  // namespace
