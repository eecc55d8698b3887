#include "MakeDirs.h"

#include <sys/stat.h>

namespace {

bool isFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool MakeDirs(const std::string& path)
{
    if (path.empty())
        return false;
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string prefix = path.substr(0, at);
        // An empty prefix is the root of an absolute path; doubled slashes repeat a prefix.
        if (prefix.empty() || isFolder(prefix))
            continue;
        ::mkdir(prefix.c_str(), 0777);
        if (!isFolder(prefix))
            return false;
    }
    return true;
}
