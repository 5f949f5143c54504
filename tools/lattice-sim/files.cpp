#include "files.h"

#include <errno.h>
#include <sys/stat.h>

#include <fstream>

namespace lattice_sim {

bool FileExists(const std::string& strPath) {
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0;
}

bool MakeDirectories(const std::string& strPath) {
    for (size_t nPos = 1; nPos <= strPath.size(); ++nPos) {
        if (nPos == strPath.size() || strPath[nPos] == '/') {
            std::string strPart = strPath.substr(0, nPos);
            if (mkdir(strPart.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

bool CopyFile(const std::string& strFrom, const std::string& strTo) {
    std::ifstream in(strFrom, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ofstream out(strTo, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return out.good();
}

std::string BaseName(const std::string& strPath) {
    size_t nSlash = strPath.find_last_of('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

}  // namespace lattice_sim
