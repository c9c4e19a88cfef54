#include "FOLocalFiles.h"

#include "FOPathHelpers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Nuvaro {
namespace Sync {

namespace {

const Poco::Int64 UNITS_PER_SECOND = 10000000;

} // namespace

FOLocalKind FOLocalKindOf(const std::string& path) {
    return FOLocalStateOf(path).kind;
}

bool FOLocalState::operator==(const FOLocalState& other) const {
    return kind == other.kind && size == other.size && modifiedNs == other.modifiedNs &&
           changedNs == other.changedNs && inode == other.inode;
}

FOLocalState FOLocalStateOf(const std::string& path) {
    FOLocalState state;
    struct stat info {};
    if (path.empty())
        return state;
    if (::lstat(path.c_str(), &info) != 0) {
        // Only "no such file" is missing: any other failure says nothing
        // about whether the item is there.
        if (errno != ENOENT && errno != ENOTDIR)
            state.kind = FOLocalKind::Unknown;
        return state;
    }
    if (S_ISREG(info.st_mode))
        state.kind = FOLocalKind::File;
    else if (S_ISDIR(info.st_mode))
        state.kind = FOLocalKind::Folder;
    else
        state.kind = FOLocalKind::Other;
    state.size = static_cast<Poco::Int64>(info.st_size);
    state.modifiedNs = static_cast<Poco::Int64>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    state.changedNs = static_cast<Poco::Int64>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    state.inode = static_cast<Poco::UInt64>(info.st_ino);
    return state;
}

bool FOFolderListable(const std::string& path) {
    DIR* folder = path.empty() ? nullptr : ::opendir(path.c_str());
    if (!folder)
        return false;
    ::closedir(folder);
    return true;
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
        case FOLocalKind::Unknown:
            return false;
        }
        end = next + 1;
    }
    return true;
}

std::string FOLocalDeviceOf(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return std::string();
    char text[64];
    struct statfs fs {};
    unsigned int words[2] = {0, 0};
    if (::statfs(path.c_str(), &fs) == 0) {
        static_assert(sizeof(fs.f_fsid) == sizeof(words), "fsid_t is two 32-bit words");
        std::memcpy(words, &fs.f_fsid, sizeof(words));
    }
    if (words[0] != 0 || words[1] != 0)
        std::snprintf(text, sizeof(text), "fsid:%08x:%08x", words[0], words[1]);
    else
        std::snprintf(text, sizeof(text), "dev:%u:%u", major(info.st_dev), minor(info.st_dev));
    return text;
}

Poco::Int64 FOWholeSecond(Poco::Int64 utcTimeValue) {
    Poco::Int64 seconds = utcTimeValue / UNITS_PER_SECOND;
    if (utcTimeValue % UNITS_PER_SECOND < 0)
        --seconds;
    return seconds * UNITS_PER_SECOND;
}

} // namespace Sync
} // namespace Nuvaro
