#include "CopyWithTimeStamps.h"

#include "NuvaroUtil.h"
#include "WipeGuard.h"

#include <Poco/Timestamp.h>
#include <Poco/UUIDGenerator.h>

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

// One folder still to copy: the source folder and the folder its content
// goes into. The item added last is taken first, so the copy runs depth
// first.
struct CopyItem {
    std::string source;
    std::string destination;
    // The destination was named by the caller: it may be a link to a folder.
    bool named;
};

std::string child(const std::string& folder, const std::string& name) {
    std::string withSeparator;
    Nuvaro::Util::addEndingSeparator(folder, withSeparator);
    return withSeparator + name;
}

bool isSameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Poco::Timestamp modificationTime(const struct stat& info) {
    return Poco::Timestamp(static_cast<Poco::Timestamp::TimeVal>(info.st_mtim.tv_sec) * 1000000 +
                           info.st_mtim.tv_nsec / 1000);
}

// The names in a folder, "." and ".." left out; false when it cannot be read.
bool listNames(const std::string& folder, std::vector<std::string>& names) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return false;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
        errno = 0;
    }
    return errno == 0;
}

// The path made absolute against the working folder.
std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    std::vector<char> buffer(4096);
    if (::getcwd(buffer.data(), buffer.size()) == nullptr)
        return std::string();
    return child(buffer.data(), path);
}

// The source folder and the folder it is copied to nest in one another (or
// cannot be told apart).
bool nested(const std::string& source, const std::string& destination) {
    const std::string from = absolute(source);
    const std::string to = absolute(destination);
    return from.empty() || to.empty() || isSameOrInsideEitherWay(to, from) || isSameOrInsideEitherWay(from, to);
}

// Makes sure the destination folder of an item exists as a folder (created
// when missing, one level) and is not the source folder itself.
bool prepareDestination(const CopyItem& item, const struct stat& source) {
    struct stat info;
    int found = item.named ? ::stat(item.destination.c_str(), &info) : ::lstat(item.destination.c_str(), &info);
    if (found != 0) {
        if (errno != ENOENT || ::mkdir(item.destination.c_str(), 0777) != 0)
            return false;
        found = ::lstat(item.destination.c_str(), &info);
    }
    return found == 0 && S_ISDIR(info.st_mode) && !isSameFile(info, source);
}

// Copies a regular file into place, keeping its modification time when
// keepTime; a new file takes the source's permission bits.
bool copyFile(const std::string& source, const struct stat& info, const std::string& target, bool overwrite,
              bool keepTime) {
    struct stat existing;
    const bool present = ::lstat(target.c_str(), &existing) == 0;
    if (present && (!overwrite || isSameFile(existing, info)))
        return true;
    const Poco::Timestamp modified = modificationTime(info);
    std::string error;
    if (!Nuvaro::Util::replaceFileFrom(target, source, keepTime ? &modified : nullptr, error))
        return false;
    if (!present)
        ::chmod(target.c_str(), info.st_mode & 07777);
    return true;
}

// Copies a link as a link: a new link beside the target, renamed over it.
bool copyLink(const std::string& source, const std::string& target, bool overwrite) {
    struct stat existing;
    if (::lstat(target.c_str(), &existing) == 0 && !overwrite)
        return true;
    std::vector<char> text(4096);
    const ssize_t length = ::readlink(source.c_str(), text.data(), text.size());
    if (length < 0 || static_cast<std::size_t>(length) >= text.size())
        return false;
    std::string name, folder;
    Nuvaro::Util::splitFolder(target, name, folder);
    const std::string temporary =
        child(folder, "." + name + "." + Poco::UUIDGenerator::defaultGenerator().createRandom().toString() + ".tmp");
    if (::symlink(std::string(text.data(), static_cast<std::size_t>(length)).c_str(), temporary.c_str()) != 0)
        return false;
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Copies the folders of the work list one after the other (see the header).
bool copyTree(std::vector<CopyItem> work, bool overwrite) {
    while (!work.empty()) {
        const CopyItem item = work.back();
        work.pop_back();
        struct stat sourceInfo;
        if (::stat(item.source.c_str(), &sourceInfo) != 0 || !S_ISDIR(sourceInfo.st_mode) ||
            !prepareDestination(item, sourceInfo))
            return false;
        std::vector<std::string> names;
        if (!listNames(item.source, names))
            return false;
        for (const std::string& name : names) {
            const std::string source = child(item.source, name);
            const std::string target = child(item.destination, name);
            struct stat info;
            if (::lstat(source.c_str(), &info) != 0)
                return false;
            if (S_ISDIR(info.st_mode)) {
                work.push_back(CopyItem{source, target, false});
                continue;
            }
            if (name == "desktop.ini" || name == "sync.ico")
                continue;
            if (S_ISREG(info.st_mode)) {
                if (!copyFile(source, info, target, overwrite, true))
                    return false;
            } else if (S_ISLNK(info.st_mode)) {
                if (!copyLink(source, target, overwrite))
                    return false;
            }
        }
    }
    return true;
}

} // namespace

bool copyWithTimeStamps(const std::string& from, const std::string& to, bool overwrite) {
    struct stat info;
    if (from.empty() || to.empty() || ::stat(from.c_str(), &info) != 0)
        return false;
    if (S_ISREG(info.st_mode)) {
        struct stat target;
        const bool intoFolder = ::stat(to.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        std::string name, folder;
        Nuvaro::Util::splitFolder(from, name, folder);
        return copyFile(from, info, intoFolder ? child(to, name) : to, overwrite, false);
    }
    if (!S_ISDIR(info.st_mode))
        return false;
    std::string name, parent;
    Nuvaro::Util::splitFolder(from, name, parent);
    const std::string destination = child(to, name);
    if (name.empty() || nested(from, destination))
        return false;
    return copyTree({CopyItem{from, destination, false}}, overwrite);
}

bool copyFolderContents(const std::string& from, const std::string& to, bool overwrite) {
    struct stat source, target;
    if (from.empty() || to.empty() || ::stat(from.c_str(), &source) != 0 || !S_ISDIR(source.st_mode) ||
        ::stat(to.c_str(), &target) != 0 || !S_ISDIR(target.st_mode) || nested(from, to))
        return false;
    return copyTree({CopyItem{from, to, true}}, overwrite);
}

} // namespace Sync
} // namespace Nuvaro
