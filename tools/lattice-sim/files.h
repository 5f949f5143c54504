// files: the file operations behind simulated screenshots and the host
// client's screenshot library.
//
// Thread safety: no shared state. Failure: false, with errno from the failing
// call where there is one.
#pragma once

#include <string>

namespace lattice_sim {

bool FileExists(const std::string& strPath);
// Creates every missing directory of an absolute path (mode 0755).
bool MakeDirectories(const std::string& strPath);
// Copies the bytes of one file over another.
bool CopyFile(const std::string& strFrom, const std::string& strTo);
// The last path component: "/a/b.png" => "b.png", "b.png" => "b.png".
std::string BaseName(const std::string& strPath);

}  // namespace lattice_sim
