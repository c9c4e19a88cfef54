#include "FOPathHelpers.h"

namespace Nuvaro {
namespace Sync {

std::string FOFolderPrefix(const std::string& folder) {
    if (folder.empty() || folder.back() == '/')
        return folder;
    return folder + "/";
}

std::string relativePath(const std::string& base, const std::string& path) {
    const std::string prefix = FOFolderPrefix(base);
    if (prefix.empty())
        return path;
    if (FOFolderPrefix(path) == prefix)
        return std::string();
    if (path.compare(0, prefix.size(), prefix) == 0)
        return path.substr(prefix.size());
    return path;
}

} // namespace Sync
} // namespace Nuvaro
