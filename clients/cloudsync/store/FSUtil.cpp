#include "FSUtil.h"

#include "NuvaroUtil.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/String.h>
#include <Poco/StringTokenizer.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

// "link/" would make the system resolve the link; the name alone is judged.
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool isSymbolicLink(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Removes a tree without following links; throws Poco's file exceptions.
void removeTree(const std::string& path) {
    Poco::File entry(path);
    if (!isSymbolicLink(path) && entry.isDirectory()) {
        std::vector<std::string> names;
        entry.list(names);
        for (const auto& name : names)
            removeTree(path + "/" + name);
    }
    if (isSymbolicLink(path) || !entry.isDirectory()) {
        if (::unlink(path.c_str()) != 0)
            throw Poco::FileException("cannot remove", path, errno);
    } else {
        entry.remove(false);
    }
}

int restrictToOwner(const char* path, const struct stat*, int flag, struct FTW*) {
    // FTW_PHYS reports links as FTW_SL (or FTW_SLN) and never walks through them.
    if (flag == FTW_SL || flag == FTW_SLN)
        return 0;
    if (::chmod(path, S_IRWXU) != 0)
        Poco::Logger::root().trace(std::string("CHMOD failed for PATH: ") + path + ": " + std::strerror(errno));
    return 0;
}

} // namespace

bool greedyRecursiveWipe(const std::string& path) {
    Poco::Logger& log = Poco::Logger::root();
    log.debug("##### Begin Wipe: === " + path);
    try {
        const std::string target = withoutTrailingSlashes(path);
        Poco::File folder(target);
        if (target.empty() || isSymbolicLink(target) || !folder.exists() || !folder.isDirectory())
            return false;
        removeTree(target);
        log.debug("######## End Wipe: === " + path);
        return true;
    } catch (...) {
        return false;
    }
}

bool caseSensitiveFileExists(const std::string& path) {
    try {
        Poco::Path full(path);
        std::string wanted;
        if (!Nuvaro::Util::toNFC(full.getFileName(), wanted))
            return false;
        full.makeParent();
        std::vector<std::string> names;
        Poco::File(full).list(names);
        bool found = false;
        for (const auto& name : names) {
            std::string normal;
            if (Nuvaro::Util::toNFC(name, normal) && normal == wanted)
                found = true;
        }
        return found;
    } catch (...) {
        return false;
    }
}

void setCustomPermissions(std::string path) {
    Poco::Logger::root().trace("Running CHMOD: for PATH: " + path);
    if (path.empty())
        return;
    ::nftw(withoutTrailingSlashes(path).c_str(), restrictToOwner, 16, FTW_PHYS);
}

bool createPrivateFolders(const std::string& path) {
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string prefix = path.substr(0, end);
        struct stat info;
        if (!prefix.empty() && ::stat(prefix.c_str(), &info) != 0) {
            if (::mkdir(prefix.c_str(), S_IRWXU) != 0 && errno != EEXIST)
                return false;
            // The umask may have taken bits away, never added any; this
            // only restores the owner's.
            ::chmod(prefix.c_str(), S_IRWXU);
        }
        start = end + 1;
    }
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makeFolderPrivate(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    const bool made = ::fstat(fd, &info) == 0 && ((info.st_mode & 07777) == S_IRWXU || ::fchmod(fd, S_IRWXU) == 0);
    ::close(fd);
    return made;
}

mode_t usualNewFileMode() {
    // umask(2) cannot read the mask without setting it, which would change
    // it for every thread for a moment.
    mode_t mask = 022;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "Umask:") == 0) {
            mask = static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
            break;
        }
    }
    return 0666 & ~mask;
}

void FSUtilSplitFolder(const std::string& path, std::string& name, std::string& parent) {
    if (path.empty())
        return;
    Poco::StringTokenizer parts(path, "/");
    if (parts.count() == 0)
        return;
    for (std::size_t i = 0; i + 1 < parts.count(); ++i)
        parent += parts[i] + "/";
    name = parts[parts.count() - 1];
}

std::string FSUtilRemoveEndingSlash(const std::string& path) {
    if (path.size() > 1 && (path.back() == '/' || path.back() == '\\'))
        return path.substr(0, path.size() - 1);
    return path;
}

std::string FSUtilRemoveDoubleSlash(const std::string& path) {
    if (path.size() < 2)
        return path;
    std::string result = path;
    Poco::replaceInPlace(result, std::string("//"), std::string("/"));
    Poco::replaceInPlace(result, std::string("\\\\"), std::string("\\"));
    return result;
}

bool isUNCPath(const std::string&) {
    return false;
}

std::string getLongPrefix(const std::string& path) {
    return path;
}

bool DeleteDirectoryWin32(const std::string&, bool) {
    return false;
}

} // namespace Sync
} // namespace Nuvaro
