#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pathtools.h"
#include "test_support.h"

namespace {

using halyard_test::ReadFile;
using halyard_test::ScopedEnv;
using halyard_test::WriteFile;

mode_t ModeOf(const std::string& sPath) {
    struct stat st;
    EXPECT_EQ(stat(sPath.c_str(), &st), 0) << sPath;
    return st.st_mode & 07777;
}

class PathFiles : public halyard_test::TempDirTest {};

TEST_F(PathFiles, CreateDirectories) {
    const std::string sDeep = TempPath("a/b/c");
    EXPECT_TRUE(BCreateDirectoryRecursive(sDeep.c_str()));
    EXPECT_TRUE(Path_IsDirectory(sDeep));
    EXPECT_TRUE(Path_IsDirectory(sDeep + "/"));
    EXPECT_TRUE(Path_IsDirectory(TempPath("a\\b")));
    // Existing directories, including the root, are fine, and are not made
    // again: a mkdir would leave EEXIST behind in errno.
    errno = 0;
    EXPECT_TRUE(BCreateDirectoryRecursive(sDeep.c_str()));
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(BCreateDirectoryRecursive((sDeep + "/").c_str()));
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(BCreateDirectoryRecursive("/"));
    EXPECT_TRUE(Path_IsDirectory("/"));

    EXPECT_TRUE(BCreateDirectoryRecursive(TempPath("t/u/").c_str()));
    EXPECT_TRUE(Path_IsDirectory(TempPath("t/u")));

    // A file in the way: nothing can be created below it.
    WriteFile(TempPath("file"), "x");
    EXPECT_FALSE(BCreateDirectoryRecursive(TempPath("file/sub/dir").c_str()));
    EXPECT_FALSE(Path_Exists(TempPath("file/sub")));
    EXPECT_FALSE(BCreateDirectory(TempPath("no/such/parent").c_str()));
    EXPECT_TRUE(BCreateDirectory(TempPath("single").c_str()));
    EXPECT_TRUE(BCreateDirectory(TempPath("single").c_str()));
    EXPECT_EQ(
        ModeOf(TempPath("single")), 0777 & ~[] {
            mode_t unMask = umask(0);
            umask(unMask);
            return unMask;
        }());
    EXPECT_FALSE(BCreateDirectoryRecursive(""));
    EXPECT_FALSE(BCreateDirectoryRecursive(nullptr));

    // Relative paths are created below the working directory.
    std::string sOldCwd = Path_GetWorkingDirectory();
    ASSERT_TRUE(Path_SetWorkingDirectory(TempDir()));
    EXPECT_EQ(Path_GetWorkingDirectory(), TempDir());
    EXPECT_TRUE(BCreateDirectoryRecursive("rel/x/y"));
    EXPECT_TRUE(Path_IsDirectory(TempPath("rel/x/y")));
    ASSERT_TRUE(Path_SetWorkingDirectory(sOldCwd));
    EXPECT_FALSE(Path_SetWorkingDirectory(TempPath("missing")));

    EXPECT_FALSE(Path_IsDirectory(TempPath("file")));
    EXPECT_FALSE(Path_IsDirectory(""));
    EXPECT_TRUE(Path_Exists(TempPath("file")));
    EXPECT_TRUE(Path_Exists(TempPath("a\\b")));
    EXPECT_FALSE(Path_Exists(TempPath("missing")));
    EXPECT_FALSE(Path_Exists(""));
    EXPECT_FALSE(Path_IsAppBundle(TempDir()));
    EXPECT_FALSE(Path_DeleteDirectory(TempPath("a/b/c"), true));
    EXPECT_TRUE(Path_IsDirectory(TempPath("a/b/c")));
}

TEST_F(PathFiles, DeleteRenameAndPermissions) {
    const std::string sFile = TempPath("f.txt");
    WriteFile(sFile, "12345");
    EXPECT_TRUE(BFileExists(sFile.c_str()));
    EXPECT_EQ(GetFileLength(sFile.c_str()), 5);
    EXPECT_EQ(GetFileLength(TempDir().c_str()), -1);
    EXPECT_EQ(GetFileLength(TempPath("missing").c_str()), -1);

    EXPECT_TRUE(BRenameFile(sFile.c_str(), TempPath("g.txt").c_str()));
    EXPECT_FALSE(BFileExists(sFile.c_str()));
    EXPECT_FALSE(BRenameFile(sFile.c_str(), TempPath("h.txt").c_str()));

    ASSERT_EQ(chmod(TempPath("g.txt").c_str(), 0444), 0);
    EXPECT_TRUE(Path_MakeWritable(TempPath("g.txt")));
    EXPECT_EQ(ModeOf(TempPath("g.txt")), 0644u);
    EXPECT_TRUE(Path_MakeWritable(TempPath("missing")));

    ASSERT_EQ(chmod(TempPath("g.txt").c_str(), 0444), 0);
    EXPECT_TRUE(MakeFileWriteable(TempPath("g.txt").c_str()));
    EXPECT_EQ(ModeOf(TempPath("g.txt")), 0644u);
    ASSERT_EQ(chmod(TempPath("g.txt").c_str(), 0200), 0);
    EXPECT_TRUE(MakeFileWriteable(TempPath("g.txt").c_str()));
    EXPECT_EQ(ModeOf(TempPath("g.txt")), 0200u);
    EXPECT_FALSE(MakeFileWriteable(TempPath("missing").c_str()));

    EXPECT_TRUE(BDeleteFileIfExists(TempPath("g.txt").c_str()));
    EXPECT_FALSE(BFileExists(TempPath("g.txt").c_str()));
    EXPECT_TRUE(BDeleteFileIfExists(TempPath("g.txt").c_str()));
    ASSERT_TRUE(BCreateDirectory(TempPath("dir").c_str()));
    EXPECT_FALSE(BDeleteFileIfExists(TempPath("dir").c_str()));
    EXPECT_TRUE(Path_IsDirectory(TempPath("dir")));

    WriteFile(TempPath("u1"), "");
    WriteFile(TempPath("u2"), "");
    EXPECT_TRUE(Path_UnlinkFile(TempPath("u1")));
    EXPECT_FALSE(Path_UnlinkFile(TempPath("u1")));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(UnlinkFile(TempPath("u2").c_str()));
    EXPECT_FALSE(UnlinkFile(TempPath("u2").c_str()));
}

TEST_F(PathFiles, FileTimes) {
    const std::string sFile = TempPath("t");
    WriteFile(sFile, "x");
    struct timeval times[2] = {{1000000000, 0}, {1234567890, 0}};
    ASSERT_EQ(utimes(sFile.c_str(), times), 0);

    time_t nTime = 0;
    EXPECT_EQ(GetFileWriteTime(sFile.c_str(), &nTime), 0);
    EXPECT_EQ(nTime, 1234567890);
    EXPECT_EQ(GetFileWriteTime(sFile.c_str(), nullptr), 0);
    nTime = 0;
    EXPECT_EQ(GetFileCreateTime(sFile.c_str(), &nTime), 0);
    struct stat st;
    ASSERT_EQ(stat(sFile.c_str(), &st), 0);
    EXPECT_EQ(nTime, st.st_ctime);

    nTime = 7;
    EXPECT_EQ(GetFileWriteTime(TempPath("missing").c_str(), &nTime), ENOENT);
    EXPECT_EQ(GetFileCreateTime(TempPath("missing").c_str(), &nTime), ENOENT);
    EXPECT_EQ(nTime, 7);
}

TEST_F(PathFiles, ProcessPaths) {
    std::string sExe = Path_GetExecutablePath();
    EXPECT_TRUE(Path_IsAbsolute(sExe));
    EXPECT_EQ(Path_StripDirectory(sExe), "test_pathfiles");
    EXPECT_EQ(Path_GetExecutableName(), "test_pathfiles");
    EXPECT_EQ(Path_StripDirectory(Path_GetThisModulePath()), "test_pathfiles");
    if (const char* pchExpected = getenv("HALYARD_EXPECT_MODULE_PATH")) {
        // The copy started below by a relative name: only check and leave.
        exit(Path_GetThisModulePath() == pchExpected ? 0 : 1);
    }
    {
        // Started by a relative path, the program still knows its absolute one.
        halyard_test::ChildOptions options;
        options.strWorkingDir = Path_StripFilename(sExe);
        options.env["HALYARD_EXPECT_MODULE_PATH"] = sExe;
        auto result = halyard_test::RunProcess(
            {"./test_pathfiles", "--gtest_filter=PathFiles.ProcessPaths"}, options);
        EXPECT_TRUE(result.bExited);
        EXPECT_EQ(result.exitCode, 0) << result.strStdout;
    }

    // A working directory of 1024 bytes or more does not fit: "", never a
    // cut-short path.
    auto pathOfLength = [this](char ch, size_t unLength) {
        std::string sPath = TempDir();
        while (sPath.size() < unLength) {
            size_t unRemaining = unLength - sPath.size();  // never left at 1
            sPath += "/" + std::string(unRemaining > 150 ? 100 : unRemaining - 1, ch);
        }
        return sPath;
    };
    const std::string sFits = pathOfLength('f', 1023);
    const std::string sDeep = pathOfLength('w', 1024);
    ASSERT_EQ(sFits.size(), 1023u);
    ASSERT_EQ(sDeep.size(), 1024u);
    ASSERT_TRUE(BCreateDirectoryRecursive(sFits.c_str()));
    ASSERT_TRUE(BCreateDirectoryRecursive(sDeep.c_str()));
    halyard_test::ChildOptions options;
    options.strWorkingDir = sDeep;
    auto result = halyard_test::RunInChild(
        [] { return Path_GetWorkingDirectory().empty() && errno == ERANGE ? 0 : 1; }, options);
    EXPECT_TRUE(result.bExited);
    EXPECT_EQ(result.exitCode, 0);
    options.strWorkingDir = sFits;
    result = halyard_test::RunInChild(
        [&sFits] { return Path_GetWorkingDirectory() == sFits ? 0 : 1; }, options);
    EXPECT_TRUE(result.bExited);
    EXPECT_EQ(result.exitCode, 0);

    {
        ScopedEnv tmp("TMPDIR", std::string("/var/tmp/x"));
        EXPECT_EQ(Path_GetTemporaryDirectory(), "/var/tmp/x");
    }
    {
        ScopedEnv tmp("TMPDIR", std::nullopt);
        EXPECT_EQ(Path_GetTemporaryDirectory(), "/tmp");
    }
    {
        ScopedEnv home("HOME", TempDir());
        EXPECT_EQ(GetUserDocumentsPath(), TempDir());
    }
    {
        ScopedEnv home("HOME", std::nullopt);
        EXPECT_EQ(GetUserDocumentsPath(), "");
    }
}

TEST_F(PathFiles, ReadBinaryFile) {
    const std::string sData("a\0b\xff", 4);
    WriteFile(TempPath("bin"), sData);

    size_t unSize = 0;
    std::unique_ptr<unsigned char[]> pData(Path_ReadBinaryFile(TempPath("bin"), &unSize));
    ASSERT_NE(pData, nullptr);
    EXPECT_EQ(unSize, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pData.get()), unSize), sData);
    pData.reset(Path_ReadBinaryFile(TempPath("bin"), nullptr));
    EXPECT_NE(pData, nullptr);

    unsigned char rch[8] = {'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z'};
    EXPECT_EQ(Path_ReadBinaryFile(TempPath("bin"), rch, 3), 4u);  // too small: untouched
    EXPECT_EQ(rch[0], 'Z');
    EXPECT_EQ(Path_ReadBinaryFile(TempPath("bin"), nullptr, 100), 4u);
    EXPECT_EQ(Path_ReadBinaryFile(TempPath("bin"), rch, 4), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rch), 5), sData + "Z");

    EXPECT_EQ(Path_ReadBinaryFile(TempPath("bin")),
              std::vector<uint8_t>(sData.begin(), sData.end()));

    WriteFile(TempPath("empty"), "");
    for (const std::string& sBad : {TempPath("empty"), TempPath("missing"), TempDir()}) {
        unSize = 99;
        EXPECT_EQ(Path_ReadBinaryFile(sBad, &unSize), nullptr) << sBad;
        EXPECT_EQ(unSize, 99u);
        EXPECT_EQ(Path_ReadBinaryFile(sBad, rch, sizeof(rch)), 0u) << sBad;
        EXPECT_TRUE(Path_ReadBinaryFile(sBad).empty()) << sBad;
        EXPECT_EQ(Path_ReadTextFile(sBad), "") << sBad;
    }
}

TEST_F(PathFiles, ReadFileTooLargeForMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers end the process on an allocation this large";
#else
    // A sparse 1 TiB file: no memory can hold it, so the read fails quietly.
    const std::string sHuge = TempPath("huge");
    WriteFile(sHuge, "");
    if (truncate(sHuge.c_str(), off_t{1} << 40) != 0) {
        GTEST_SKIP() << "this file system cannot hold a sparse 1 TiB file";
    }
    size_t unSize = 99;
    EXPECT_EQ(Path_ReadBinaryFile(sHuge, &unSize), nullptr);
    EXPECT_EQ(unSize, 99u);
    EXPECT_TRUE(Path_ReadBinaryFile(sHuge).empty());
    EXPECT_EQ(Path_ReadTextFile(sHuge), "");
    // The size query needs no memory.
    EXPECT_EQ(Path_ReadBinaryFile(sHuge, nullptr, 0), size_t{1} << 40);
#endif
}

// Every whole-file reader on files that must not be read: each is refused at
// once (a FIFO without a writer would block an ordinary open forever), so the
// readers run in a child with a deadline.
TEST_F(PathFiles, ReadersRefuseWhatIsNotASmallRegularFile) {
    constexpr size_t k_unLimit = 1024;
    ASSERT_EQ(mkfifo(TempPath("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("loop_b", TempPath("loop_a").c_str()), 0);
    ASSERT_EQ(symlink("loop_a", TempPath("loop_b").c_str()), 0);
    WriteFile(TempPath("sparse"), "");
    ASSERT_EQ(truncate(TempPath("sparse").c_str(), off_t{1} << 30), 0);
    WriteFile(TempPath("at_limit"), "\xEF\xBB\xBF" + std::string(k_unLimit - 5, 'x') + "\r\n");
    WriteFile(TempPath("over_limit"), std::string(k_unLimit + 1, 'x'));
    WriteFile(TempPath("empty"), "");
    struct {
        std::string sPath;
        bool bLimitedReads;  // Path_ReadFileLimited's result
        int nErrno;
        const char* pchReason;
        bool bGenericReads;  // whether the readers without a limit give data
    } const rgCases[] = {
        {TempPath("fifo"), false, EINVAL, "not a regular file", false},
        {"/dev/zero", false, EINVAL, "not a regular file", false},
        {TempDir(), false, EISDIR, "not a regular file", false},
        {TempPath("loop_a"), false, ELOOP, strerror(ELOOP), false},
        {TempPath("missing"), false, ENOENT, strerror(ENOENT), false},
        {TempPath("sparse"), false, EFBIG, "larger than 1024 bytes", true},
        {TempPath("over_limit"), false, EFBIG, "larger than 1024 bytes", true},
        {TempPath("at_limit"), true, 0, "", true},
        {TempPath("empty"), true, 0, "", false},
    };
    auto result = halyard_test::RunInChild(
        [&] {
            for (const auto& test : rgCases) {
                std::string sData = "stale";
                std::string sReason;
                errno = 0;
                bool bRead = Path_ReadFileLimited(test.sPath, k_unLimit, sData, &sReason);
                int nErrno = errno;
                std::string sText = "stale";
                bool bText = Path_ReadTextFileLimited(test.sPath, k_unLimit, sText);
                bool bExpectedText = test.sPath == TempPath("at_limit")
                                         ? sText == std::string(k_unLimit - 5, 'x') + "\n"
                                         : sText.empty();
                unsigned char rch[4];
                size_t unSize = 0;
                std::unique_ptr<unsigned char[]> pData(
                    test.sPath == TempPath("sparse") ? nullptr
                                                     : Path_ReadBinaryFile(test.sPath, &unSize));
                bool bGeneric = Path_ReadBinaryFile(test.sPath, rch, 0) > 0;
                if (bRead != test.bLimitedReads || bText != test.bLimitedReads ||
                    (!bRead && (nErrno != test.nErrno || sReason != test.pchReason)) ||
                    (bRead ? !sReason.empty() : !sData.empty()) || !bExpectedText ||
                    bGeneric != test.bGenericReads ||
                    (test.sPath != TempPath("sparse") &&
                     (pData != nullptr) != test.bGenericReads)) {
                    printf("%s: read %d errno %d reason '%s' text %d generic %d\n",
                           test.sPath.c_str(), bRead, nErrno, sReason.c_str(), bText, bGeneric);
                }
                if (!test.bGenericReads && (!Path_ReadTextFile(test.sPath).empty() ||
                                            !Path_ReadBinaryFile(test.sPath).empty())) {
                    printf("%s: read without a limit\n", test.sPath.c_str());
                }
            }
            return 0;
        },
        halyard_test::ChildOptions{{}, "", "", std::chrono::milliseconds(30000)});
    EXPECT_FALSE(result.bTimedOut) << "a reader blocked";
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStdout, "");
}

TEST_F(PathFiles, ReadTextFileBomAndLineEnds) {
    WriteFile(TempPath("bom"), "\xEF\xBB\xBFx\r\n");
    EXPECT_EQ(Path_ReadTextFile(TempPath("bom")), "x\n");
    WriteFile(TempPath("crs"), "a\rb\r\r\nc\n\r");
    EXPECT_EQ(Path_ReadTextFile(TempPath("crs")), "a\rb\r\nc\n\r");
    WriteFile(TempPath("onlybom"), "\xEF\xBB\xBF");
    EXPECT_EQ(Path_ReadTextFile(TempPath("onlybom")), "");
    // Two bytes are too short to hold a byte order mark; they are kept.
    WriteFile(TempPath("short"), "\xEF\xBB");
    EXPECT_EQ(Path_ReadTextFile(TempPath("short")), "\xEF\xBB");
    // A mark anywhere but at the start is text.
    WriteFile(TempPath("mid"), "a\xEF\xBB\xBF");
    EXPECT_EQ(Path_ReadTextFile(TempPath("mid")), "a\xEF\xBB\xBF");
}

TEST_F(PathFiles, WriteFiles) {
    const unsigned char rchData[] = {1, 0, 2, 0xff};
    EXPECT_TRUE(Path_WriteBinaryFile(TempPath("b"), rchData, sizeof(rchData)));
    EXPECT_EQ(ReadFile(TempPath("b")), std::string("\x01\x00\x02\xff", 4));
    EXPECT_TRUE(Path_WriteBinaryFile(TempPath("b"), rchData, 0));
    EXPECT_EQ(ReadFile(TempPath("b")), "");
    EXPECT_FALSE(Path_WriteBinaryFile(TempPath("no/dir/b"), rchData, sizeof(rchData)));
    // Nothing was created, so even an empty write has failed.
    EXPECT_FALSE(Path_WriteBinaryFile(TempPath("no/dir/b"), rchData, 0));

    EXPECT_TRUE(Path_WriteStringToTextFile(TempPath("t"), "longer text\n"));
    EXPECT_TRUE(Path_WriteStringToTextFile(TempPath("t"), "short"));
    EXPECT_EQ(ReadFile(TempPath("t")), "short");
    EXPECT_TRUE(Path_WriteStringToTextFile(TempPath("t"), ""));
    EXPECT_EQ(ReadFile(TempPath("t")), "");
    EXPECT_FALSE(Path_WriteStringToTextFile(TempPath("no/dir/t"), "x"));
    EXPECT_FALSE(Path_WriteStringToTextFile(TempPath("t"), nullptr));
    // The data only fails to reach the device when the stream is flushed.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_FALSE(Path_WriteStringToTextFile("/dev/full", "x"));
        EXPECT_FALSE(Path_WriteBinaryFile("/dev/full", rchData, sizeof(rchData)));
    }
}

TEST_F(PathFiles, WriteTextFileAtomic) {
    const std::string sPath = TempPath("settings.json");
    EXPECT_TRUE(Path_WriteStringToTextFileAtomic(sPath, "first\n"));
    EXPECT_EQ(ReadFile(sPath), "first\n");
    EXPECT_TRUE(Path_WriteStringToTextFileAtomic(sPath, "second"));
    EXPECT_EQ(ReadFile(sPath), "second");
    EXPECT_FALSE(Path_Exists(sPath + ".tmp"));

    // The temporary cannot be written: no rename, the file keeps its contents.
    ASSERT_TRUE(BCreateDirectory((sPath + ".tmp").c_str()));
    EXPECT_FALSE(Path_WriteStringToTextFileAtomic(sPath, "third"));
    EXPECT_EQ(ReadFile(sPath), "second");
    ASSERT_EQ(rmdir((sPath + ".tmp").c_str()), 0);

    // The rename fails (a non-empty directory is in the way): the temporary is removed.
    const std::string sDir = TempPath("occupied");
    ASSERT_TRUE(BCreateDirectoryRecursive((sDir + "/inner").c_str()));
    EXPECT_FALSE(Path_WriteStringToTextFileAtomic(sDir, "x"));
    EXPECT_TRUE(Path_IsDirectory(sDir + "/inner"));
    EXPECT_FALSE(Path_Exists(sDir + ".tmp"));

    EXPECT_FALSE(Path_WriteStringToTextFileAtomic(TempPath("no/dir/x"), "x"));
    EXPECT_FALSE(Path_WriteStringToTextFileAtomic(sPath, nullptr));
    EXPECT_EQ(ReadFile(sPath), "second");

    // The failure's errno is the open's, not that of removing the temporary
    // that was never made: a user who may not write the directory.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become a user without write access";
    }
    ASSERT_TRUE(BCreateDirectory(TempPath("readonly").c_str()));
    ASSERT_EQ(chmod(TempPath("readonly").c_str(), 0555), 0);
    ASSERT_EQ(chmod(TempDir().c_str(), 0755), 0);
    auto result = halyard_test::RunInChild([this] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            return 1;
        }
        errno = 0;
        if (Path_WriteStringToTextFileAtomic(TempPath("readonly/x"), "x")) {
            return 2;
        }
        return errno == EACCES ? 0 : 3;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(PathFiles, AtomicWriteNeverShowsPartialContents) {
    const std::string sPath = TempPath("shared.txt");
    const std::string sA(20000, 'a');
    const std::string sB(30000, 'b');
    ASSERT_TRUE(Path_WriteStringToTextFileAtomic(sPath, sA.c_str()));

    std::atomic<bool> bStop{false};
    std::atomic<int> nBadReads{0};
    std::atomic<int> nReads{0};
    std::thread reader([&] {
        while (!bStop.load()) {
            std::string sText = Path_ReadTextFile(sPath);
            if (sText != sA && sText != sB) {
                ++nBadReads;
            }
            ++nReads;
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(Path_WriteStringToTextFileAtomic(sPath, (i % 2 ? sA : sB).c_str()));
    }
    EXPECT_TRUE(halyard_test::WaitFor([&] { return nReads.load() > 10; }));
    bStop = true;
    reader.join();
    EXPECT_EQ(nBadReads.load(), 0);
}

}  // namespace
