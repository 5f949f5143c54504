// pathtools: paths as strings, small whole-file reads and writes, directories,
// process paths, environment variables (envvars.h), CRC-32 (crc32.h) and the
// directory iterator (diriterator.h). Including this header gives all of them.
//
// Paths are byte strings with '/' as the separator; most string functions also
// accept '\' on input. A `slash` argument of 0 means '/'. Results are new
// strings; nothing here keeps state (except CDirIterator, per object).
//
// Thread safety: every function may be called from any thread (the process
// environment and working directory are shared by all threads, as always).
// Ownership: Path_ReadBinaryFile(path, size) returns a new[] array the caller
// releases with delete[]; everything else returns values.
// Failure: reported as false, -1, an errno value, "" or null, never thrown;
// errno is left as the failing system call set it.
//
// Path strings (slash '/'):
//   Path_FixSlashes("a\\b/c")                => "a/b/c"
//   Path_Join("", "b")                       => "b"
//   Path_Join("a", "b")                      => "a/b"
//   Path_Join("a/", "b")                     => "a/b"
//   Path_Join("a//", "b")                    => "a//b"    (one trailing separator dropped)
//   Path_Join("a", "b", "c", "d", "e")       => "a/b/c/d/e"
//   Path_IsAbsolute("\\x")                   => true
//   Path_RemoveTrailingSlash("a/b//")        => "a/b"
//   Path_RemoveTrailingSlash("//")           => "/"
//   Path_StripFilename("a/b/c.txt")          => "a/b"
//   Path_StripFilename("/a")                 => ""
//   Path_StripFilename("name")               => "name"
//   Path_StripDirectory("a/b/c.txt")         => "c.txt"
//   Path_StripExtension("a.d/b.tar.gz")      => "a.d/b.tar"
//   Path_StripExtension("a.d/b")             => "a.d/b"
//   Path_StripExtension(".profile")          => ""
//   Path_GetExtension("a/b.tar.gz")          => "gz"
//   Path_Compact("/a/./b/../c")              => "/a/c"
//   Path_Compact("/a/b/..")                  => "/a/"
//   Path_Compact("./x")                      => "x"
//   Path_Compact("/..")                      => ""
//   Path_Compact("a/./")                     => "a/./"
//   Path_MakeAbsolute("b/../c", "/a")        => "/a/c"
//   Path_MakeAbsolute("../..", "/a")         => ""
//   Path_MakeAbsolute("x", "rel")            => ""
//   Path_IsSamePath("/a/./b", "/a/b")        => true
//   Path_SanitizeFilename("a:b?.json")       => "a_b_.json"
//   Path_SanitizeFilename("a.b.txt")         => "a_b.txt"
//   Path_SanitizeFilename(".hidden")         => "_hidden"
//   Path_FilePathToUrl("d/a b.txt", "/base") => "file:///base/d/a%20b.txt"
//   Path_UrlToFilePath("FILE:///a%20b")      => "/a b"
//   Path_UrlToFilePath("http://x/y")         => ""
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "crc32.h"
#include "diriterator.h"
#include "envvars.h"

// ---- directories and files ----------------------------------------------------

// mkdir with mode 0777 (before the umask); true when created or already there.
bool BCreateDirectory(const char* pchPath);
// Creates every missing directory of the path; true when it exists at the end.
bool BCreateDirectoryRecursive(const char* pchPath);

bool Path_IsDirectory(const std::string& sPath);
bool Path_Exists(const std::string& sPath);
// Always false on this platform.
bool Path_IsAppBundle(const std::string& sPath);
bool Path_DeleteDirectory(const std::string& sDirectory, bool bRecursive);

bool Path_UnlinkFile(const std::string& sPath);
bool UnlinkFile(const char* pchPath);
// Adds the owner-write bit when it is missing; a path that cannot be stat'ed is true.
bool Path_MakeWritable(const std::string& sPath);
// Adds the owner-write bit when it is missing; false when the path cannot be stat'ed.
bool MakeFileWriteable(const char* pchPath);
// True when the file is gone afterwards (or never existed).
bool BDeleteFileIfExists(const char* pchPath);
bool BRenameFile(const char* pchFrom, const char* pchTo);
bool BFileExists(const char* pchPath);
// Size of a regular file, -1 when it cannot be stat'ed or is not a regular file.
int64_t GetFileLength(const char* pchPath);
// 0 and the modification / status-change time in seconds (when pOut is given),
// or the errno of the failed stat.
int GetFileWriteTime(const char* pchPath, time_t* pOut);
int GetFileCreateTime(const char* pchPath, time_t* pOut);

// ---- process paths ------------------------------------------------------------

std::string Path_GetExecutablePath();
std::string Path_GetExecutableName();  // without directory and extension
std::string Path_GetThisModulePath();  // the executable or shared object holding tessera
std::string Path_GetWorkingDirectory();
bool Path_SetWorkingDirectory(const std::string& sPath);
std::string Path_GetTemporaryDirectory();  // TMPDIR, else "/tmp"
std::string GetUserDocumentsPath();        // HOME, else ""

// ---- path strings -------------------------------------------------------------

char Path_GetSlash();
std::string Path_FixSlashes(const std::string& sPath, char slash = 0);
std::string Path_Join(const std::string& a, const std::string& b, char slash = 0);
std::string Path_Join(const std::string& a, const std::string& b, const std::string& c,
                      char slash = 0);
std::string Path_Join(const std::string& a, const std::string& b, const std::string& c,
                      const std::string& d, char slash = 0);
std::string Path_Join(const std::string& a, const std::string& b, const std::string& c,
                      const std::string& d, const std::string& e, char slash = 0);
bool Path_IsAbsolute(const std::string& sPath);
std::string Path_RemoveTrailingSlash(const std::string& sPath, char slash = 0);
std::string Path_StripFilename(const std::string& sPath, char slash = 0);
std::string Path_StripDirectory(const std::string& sPath, char slash = 0);
std::string Path_StripExtension(const std::string& sPath);
std::string Path_GetExtension(const std::string& sPath);
// Removes "." components and folds "name/.." pairs; "" when ".." climbs above the root.
std::string Path_Compact(const std::string& sPath, char slash = 0);
// Compacted absolute form of sRelative against an absolute sBase, "" when impossible.
std::string Path_MakeAbsolute(const std::string& sRelative, const std::string& sBase,
                              char slash = 0);
bool Path_IsSamePath(const std::string& sPath1, const std::string& sPath2);
// Control characters, bytes >= 128 and "$%&*./:<>?@\| become '_'; the last '.'
// survives when it is neither the first nor the last character.
std::string Path_SanitizeFilename(const std::string& sFilename);
std::string Path_FilePathToUrl(const std::string& sRelativePath, const std::string& sBasePath);
// "" for anything but a file:// URL (or one that decodes to a NUL byte).
std::string Path_UrlToFilePath(const std::string& sFileUrl);
// Nearest of sStartDirectory and its ancestors named sDirectoryName (any case).
std::string Path_FindParentDirectoryRecursively(const std::string& sStartDirectory,
                                                const std::string& sDirectoryName);
// First existing <ancestor>/sDirectoryName, nearest ancestor first (the start
// itself is not tested).
std::string Path_FindParentSubDirectoryRecursively(const std::string& sStartDirectory,
                                                   const std::string& sDirectoryName);

// ---- whole-file reads and writes ----------------------------------------------
//
// Every read opens the file so that opening can never block (a FIFO without a
// writer, a device), never makes it the controlling terminal and never leaks
// it into a child, and refuses anything but a regular file (fstat) before a
// byte is read.

// The file in a new[] array (caller deletes), its size in *punSize when given;
// null when it cannot be opened, is empty or cannot be read completely.
unsigned char* Path_ReadBinaryFile(const std::string& sPath, size_t* punSize);
// Returns the file size; reads into pBuffer only when it is given and holds the
// whole file, and then returns 0 if the read fails. 0 for an empty or unopenable file.
size_t Path_ReadBinaryFile(const std::string& sPath, unsigned char* pBuffer, size_t unBufferSize);
std::vector<uint8_t> Path_ReadBinaryFile(const std::string& sPath);
// Whole file as text: a leading UTF-8 byte order mark dropped, CR LF turned into LF.
std::string Path_ReadTextFile(const std::string& sPath);

// Reads a whole regular file of at most unMaxSize bytes into sData (replacing
// what it held), in one pass into one buffer. Readers of a kind of file pass
// a limit far above any real file of that kind, so that a huge file is refused
// at once instead of being read. false (sData empty, errno set, *psError a
// short reason when given) when the file cannot be read:
//   missing                         => false, ENOENT, "No such file or directory"
//   a symbolic link loop            => false, ELOOP,  "Too many levels of symbolic links"
//   FIFO, device                    => false, EINVAL, "not a regular file"
//   directory                       => false, EISDIR, "not a regular file"
//   more than unMaxSize bytes       => false, EFBIG,  "larger than <unMaxSize> bytes"
//   empty regular file              => true, ""
bool Path_ReadFileLimited(const std::string& sPath, size_t unMaxSize, std::string& sData,
                          std::string* psError = nullptr);
// The same, as text like Path_ReadTextFile (byte order mark dropped, CR LF to
// LF); the limit applies to the bytes in the file.
bool Path_ReadTextFileLimited(const std::string& sPath, size_t unMaxSize, std::string& sText,
                              std::string* psError = nullptr);

// Opens a file for appending (created 0666 less the umask when missing),
// close-on-exec, without waiting: a FIFO or a device at the path is refused
// (-1, errno EINVAL; a directory EISDIR) instead of holding the caller until a
// reader comes. The descriptor blocks again once open, like any log file.
int Path_OpenRegularFileForAppend(const std::string& sPath);
// Writes every byte to the descriptor, going on after interrupted and short
// writes; false (errno set) when a write fails or takes nothing (a full disk).
bool Path_WriteToDescriptor(int fd, const char* pchData, size_t unSize);

// True when the file was opened and every byte written.
bool Path_WriteBinaryFile(const std::string& sPath, const unsigned char* pData, size_t unSize);
// Truncates and writes the text; true when it all reached the file.
bool Path_WriteStringToTextFile(const std::string& sPath, const char* pchText);
// Writes "<path>.tmp" and renames it over the path, so readers see the old or
// the new contents, never a mix. A failed write leaves the path untouched and
// removes the temporary file.
bool Path_WriteStringToTextFileAtomic(const std::string& sPath, const char* pchText);
// Replaces a file that several processes share, in one step like the above,
// but as writing it in place would: through symbolic links (the links stay and
// name the new data), keeping an existing file's mode (and owner, where the
// process may give files away), and only where the process may write the
// existing file (access(2) with the effective ids) and somebody may (a file
// without any write bit is refused even to root). A target that exists but
// is not a regular file is refused.
// The temporary file beside the target has a name of its own, so concurrent
// writers never disturb each other (the last rename wins), and its data is
// synced before the rename. false with errno set when the file was left as
// it was.
//   regular file 0640                 => new text, still 0640
//   link -> data/reg.json             => link unchanged, data/reg.json holds the text
//   0644 root file, ordinary user     => false (EACCES), file unchanged
//   0444 file, even as root           => false (EACCES), file unchanged
//   link -> FIFO, directory           => false, nothing replaced
bool Path_ReplaceTextFileAtomic(const std::string& sPath, const std::string& sText);
