#include "base/folders.h"

#include <cerrno>
#include <sys/stat.h>

namespace varnell {

bool MakeFolder(const std::string& folder)
{
    if (folder.empty())
        return true;
    struct stat st{};
    if (stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        errno = ENOTDIR;
        return false;
    }
    if (!MakeFolderFor(folder))
        return false;
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

bool MakeFolderFor(const std::string& filePath)
{
    const std::size_t slash = filePath.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    return MakeFolder(filePath.substr(0, slash));
}

} // namespace varnell
