#include "FSMemoryFSCache.h"

#include "NameRules.h"
#include "NuvaroUtil.h"
#include "ScanLog.h"
#include "UIEvent.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

namespace {

// Closes a directory stream (and the descriptor it owns) on every path out.
class DirHandle {
public:
    explicit DirHandle(DIR* dir) : m_dir(dir) {}
    ~DirHandle() {
        if (m_dir)
            ::closedir(m_dir);
    }
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    DIR* get() const { return m_dir; }

private:
    DIR* m_dir;
};

Poco::Timestamp modificationTime(const struct stat& st) {
    return Poco::Timestamp(static_cast<Poco::Timestamp::TimeVal>(st.st_mtim.tv_sec) * 1000000 +
                           st.st_mtim.tv_nsec / 1000);
}

// Names the walk sets aside, with an entry in skippedPaths.
bool isSetAside(const std::string& name, bool disableDotDot) {
    if (disableDotDot && name.find("..") != std::string::npos)
        return true;
    return name == ".cache" || name.find(".tmp.part") != std::string::npos ||
           Nuvaro::Util::trim(name).size() != name.size();
}

} // namespace

FSMemoryFSCache::FSMemoryFSCache() : fileCount(0), disableDotDot(true) {}

FSMemoryFSCache::~FSMemoryFSCache() = default;

void FSMemoryFSCache::initFromPath(const std::string& path, bool disableDotDot) {
    scanLog().trace("-- Started Dir Scan ");
    this->disableDotDot = disableDotDot;
    folders.clear();
    fileCount = 0;
    unsupportedPaths.clear();
    repeatedFolders.clear();
    unlistedFolders.clear();
    m_entered.clear();

    std::deque<FolderData> work{FolderData("", "", "", path)};
    uiPostEvent(static_cast<uiEventType>(10), "Scanning..", 100);
    Poco::Int64 queued = 0;
    while (!work.empty()) {
        if (m_stopRequested && m_stopRequested())
            break;
        FolderData item = std::move(work.back());
        work.pop_back();
        enterFolder(item, work, queued);
    }
    m_entered.clear();
    uiPostEvent(static_cast<uiEventType>(13), "Scanning..", 100);
    scanLog().trace("-- Completed Dir Scan ");
}

void FSMemoryFSCache::enterFolder(const FolderData& item, std::deque<FolderData>& work, Poco::Int64& queued) {
    int fd = ::open(item.fullPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
        FolderIdentity identity(static_cast<Poco::UInt64>(st.st_dev), static_cast<Poco::UInt64>(st.st_ino));
        if (!m_entered.insert(identity).second) {
            ::close(fd);
            scanLog().trace("FCA: Folder already scanned under another path, not entered: " + item.fullPath);
            repeatedFolders.push_back(item.fullPath);
            return;
        }
    }
    DirHandle dir(fd >= 0 ? ::fdopendir(fd) : nullptr);
    if (fd >= 0 && !dir.get())
        ::close(fd);

    auto inserted = folders.emplace(item.fullPath, boost::shared_ptr<FSChildren>(new FSChildren(item)));
    if (!inserted.second)
        return;
    FSChildren& children = *inserted.first->second;
    if (!dir.get()) {
        scanLog().trace("Error listing children for Path : " + item.fullPath);
        unlistedFolders.insert(item.fullPath);
        return;
    }

    errno = 0;
    while (struct dirent* found = ::readdir(dir.get())) {
        const char* raw = found->d_name;
        if (raw[0] == '.' && (raw[1] == '\0' || (raw[1] == '.' && raw[2] == '\0')))
            continue;
        examineName(::dirfd(dir.get()), raw, children, work, queued);
        errno = 0;
    }
    if (errno != 0) {
        // A listing cut short must not make the rest of the folder look gone.
        scanLog().trace("Error listing children for Path : " + item.fullPath);
        unlistedFolders.insert(item.fullPath);
    }
}

void FSMemoryFSCache::examineName(int dirFd, const std::string& rawName, FSChildren& children,
                                  std::deque<FolderData>& work, Poco::Int64& queued) {
    const FolderData& item = children.folder;
    std::string name;
    if (!Nuvaro::Util::toNFC(rawName, name)) {
        std::string shown = item.fullPath + "/" + Nuvaro::Util::displayableUtf8(rawName);
        scanLog().trace("FCA: Skipping name that is not valid UTF-8: " + shown);
        skippedPaths.push_back(shown);
        return;
    }
    if (NameRules::hasBadChars(name))
        return;
    // Paths are built only where they are kept or logged.
    auto absolute = [&] { return item.fullPath + "/" + name; };
    auto relative = [&] { return item.relativePath.empty() ? name : item.relativePath + "/" + name; };
    if (isSetAside(name, disableDotDot)) {
        skippedPaths.push_back(absolute());
        return;
    }

    try {
        // The entry is examined under its NFC name, as every later step
        // opens it.
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            throw Poco::FileException(std::strerror(errno), absolute(), errno);
        const bool link = S_ISLNK(st.st_mode);
        if (link && ::fstatat(dirFd, name.c_str(), &st, 0) != 0)
            throw Poco::FileException(std::strerror(errno), absolute(), errno);
        FSType type;
        if (S_ISDIR(st.st_mode)) {
            type = FSTypeFolder;
        } else if (S_ISREG(st.st_mode)) {
            type = FSTypeFile;
            ++fileCount;
        } else {
            unsupportedPaths.push_back(absolute());
            scanLog().trace("FCA: Skipping item that is neither a file nor a folder: " + unsupportedPaths.back());
            return;
        }
        const bool hidden = name[0] == '.';
        children.addChild(
            FSEntry(name, type, static_cast<Poco::UInt64>(st.st_size), modificationTime(st), hidden, link));

        // A link is an entry of its folder but never entered: what it leads
        // to is not part of the sync folder.
        if (type == FSTypeFolder && !hidden && !link) {
            FolderData& sub = work.emplace_back(name, item.relativePath, relative(), absolute());
            ++queued;
            if (queued % 100 == 0)
                scanLog().trace("... FCA Processed: " + Poco::NumberFormatter::format(queued) + " entering " +
                                sub.fullPath + "  done");
            if (queued % 50 == 0)
                uiPostEvent(static_cast<uiEventType>(12), item.name, 0);
        }
    } catch (const Poco::Exception& e) {
        scanLog().error("initFromPath : Caught Exception " + e.displayText());
        children.addChild(FSEntry(name, FSTypeFile));
    } catch (...) {
        scanLog().trace("FCA: exception processing : " + relative());
        children.addChild(FSEntry(name, FSTypeFile));
    }
}

} // namespace Sync
} // namespace Nuvaro
