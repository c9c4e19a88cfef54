#include "FOLocalFiles.h"

#include "FOPathHelpers.h"

#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

namespace {

const Poco::Int64 UNITS_PER_SECOND = 10000000;

} // namespace

FOLocalKind FOLocalKindOf(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::lstat(path.c_str(), &info) != 0)
        return FOLocalKind::Missing;
    if (S_ISREG(info.st_mode))
        return FOLocalKind::File;
    if (S_ISDIR(info.st_mode))
        return FOLocalKind::Folder;
    return FOLocalKind::Other;
}

bool FONoLinkBelow(const std::string& base, const std::string& path) {
    const std::string prefix = FOFolderPrefix(FORemoveEndingSlash(base));
    if (prefix.empty())
        return false;
    if (FOFolderPrefix(path) == prefix)
        return true;
    if (path.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string::size_type end = prefix.size();
    while (end < path.size()) {
        std::string::size_type next = path.find('/', end);
        const bool last = next == std::string::npos || next + 1 >= path.size();
        if (next == std::string::npos)
            next = path.size();
        switch (FOLocalKindOf(path.substr(0, next))) {
        case FOLocalKind::Missing:
            return true;
        case FOLocalKind::Folder:
            break;
        case FOLocalKind::File:
            if (!last)
                return false;
            break;
        case FOLocalKind::Other:
            return false;
        }
        end = next + 1;
    }
    return true;
}

Poco::Int64 FOWholeSecond(Poco::Int64 utcTimeValue) {
    Poco::Int64 seconds = utcTimeValue / UNITS_PER_SECOND;
    if (utcTimeValue % UNITS_PER_SECOND < 0)
        --seconds;
    return seconds * UNITS_PER_SECOND;
}

} // namespace Sync
} // namespace Nuvaro
