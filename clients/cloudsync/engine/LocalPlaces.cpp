#include "LocalPlaces.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {
namespace LocalPlaces {

namespace {

// What a replacement adds to a name for its temporary file beside the
// target: "." + NAME + "." + a 36-character UUID + ".tmp", the whole cut to
// a folder entry's length.
const std::size_t kTemporaryNameExtra = 1 + 1 + 36 + 4;

// The longest name a folder entry of root's file system takes, and the
// longest path the system takes (with its terminating zero byte).
std::size_t longestName(const std::string& root) {
    const long value = ::pathconf(root.c_str(), _PC_NAME_MAX);
    return value > 0 ? static_cast<std::size_t>(value) : static_cast<std::size_t>(NAME_MAX);
}
std::size_t longestPath(const std::string& root) {
    const long value = ::pathconf(root.c_str(), _PC_PATH_MAX);
    return value > 0 ? static_cast<std::size_t>(value) : static_cast<std::size_t>(PATH_MAX);
}

} // namespace

std::string linkOnTheWay(const std::string& root, const std::string& relative, bool withItem) {
    if (relative.empty())
        return "";
    std::string::size_type slash = relative.find('/');
    for (;;) {
        const bool item = slash == std::string::npos;
        if (item && !withItem)
            return "";
        const std::string component = item ? relative : relative.substr(0, slash);
        struct stat info;
        if (::lstat((root + "/" + component).c_str(), &info) != 0)
            return "";
        if (S_ISLNK(info.st_mode))
            return component;
        if (item)
            return "";
        slash = relative.find('/', slash + 1);
    }
}

std::string unplaceableReason(const std::string& root, const std::string& relative) {
    const std::size_t nameMax = longestName(root);
    std::size_t start = 0;
    std::size_t lastName = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        lastName = end - start;
        if (lastName > nameMax)
            return "name too long";
        start = end + 1;
    }
    const std::size_t path = root.size() + 1 + relative.size();
    const std::size_t temporary = path - lastName + std::min(lastName + kTemporaryNameExtra, nameMax);
    if (std::max(path, temporary) + 1 > longestPath(root))
        return "path too long";
    return "";
}

} // namespace LocalPlaces
} // namespace Sync
} // namespace Nuvaro
