#include "QuickEdit.h"

#include "CloudPath.h"
#include "DesktopOpener.h"
#include "FSUtil.h"
#include "NuvaroUtil.h"
#include "SyncLog.h"
#include "UIEvent.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Timestamp.h>
#include <Poco/UUIDGenerator.h>


#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Nuvaro {
namespace Sync {

const char* const kEditInfoName = "editinfo.xml";

bool readCopyState(const std::string& path, CopyState& state) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    std::string checksum;
    if (!Nuvaro::Util::getFileCRC(path, checksum, -1, -1))
        return false;
    Poco::Timestamp modified(static_cast<Poco::Timestamp::TimeVal>(info.st_mtim.tv_sec) * 1000000 +
                             info.st_mtim.tv_nsec / 1000);
    state.size = static_cast<Poco::UInt64>(info.st_size);
    state.modified = static_cast<Poco::UInt64>(modified.utcTime());
    state.checksum = checksum;
    return true;
}

void putCopyState(Nuvaro::Data::VariantRow& record, const CopyState& state) {
    record["size"] = state.size;
    record["modified"] = state.modified;
    record["checksum"] = state.checksum;
}

namespace {

// Sets `mode` on `path` itself (never through a link) when it is of `kind`
// (S_IFDIR, S_IFREG) and this user's; false otherwise.
bool setOwnMode(const std::string& path, mode_t kind, mode_t mode) {
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (kind == S_IFDIR ? O_DIRECTORY : 0);
    int fd = ::open(path.c_str(), flags);
    if (fd < 0)
        return false;
    struct stat info;
    bool set = ::fstat(fd, &info) == 0 && (info.st_mode & S_IFMT) == kind && info.st_uid == ::geteuid() &&
               ::fchmod(fd, mode) == 0;
    ::close(fd);
    return set;
}

// Creates `folder` 0700 (the umask may only take bits away; the mode is set
// again after). With `mayExist` an existing folder is taken and its mode set.
bool makePrivateFolder(const std::string& folder, bool mayExist) {
    if (::mkdir(folder.c_str(), 0700) != 0 && !(errno == EEXIST && mayExist))
        return false;
    return setOwnMode(folder, S_IFDIR, 0700);
}

} // namespace

bool prepareQuickEditRoot(const std::string& editRoot) {
    // The folders above the root that are missing are made 0700 too;
    // those that exist are left as they are. A parent that cannot be made
    // makes the root's own creation fail below, which says so.
    std::string name, parent;
    FSUtilSplitFolder(FSUtilRemoveEndingSlash(editRoot), name, parent);
    if (!parent.empty())
        createPrivateFolders(FSUtilRemoveEndingSlash(parent));
    if (makePrivateFolder(editRoot, true))
        return true;
    syncLog().error("Cannot make the quick edit folder " + editRoot + " a private folder (errno " +
                    std::to_string(errno) + ")");
    return false;
}

bool isQuickEditName(const std::string& name) {
    return CloudPath::isSoundRelativePath(name) && name.find('/') == std::string::npos && name != kEditInfoName;
}

bool splitQuickEditPath(const std::string& remotePath, std::string& name, std::string& folder) {
    if (remotePath.size() < 2 || remotePath[0] != '/' || !CloudPath::isSoundRelativePath(remotePath.substr(1)))
        return false;
    std::string parent;
    FSUtilSplitFolder(remotePath, name, parent);
    folder = FSUtilRemoveEndingSlash(parent);
    return isQuickEditName(name);
}

bool launchQuickEdit(Nuvaro::NuvaroConnector& connector, const std::string& editRoot, const std::string& remotePath) {
    std::string name, serverFolder;
    if (!splitQuickEditPath(remotePath, name, serverFolder)) {
        syncLog().error("Refused quick edit of " + remotePath + ": not the path of a file");
        return false;
    }
    std::string folder = editRoot + "/" + Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
    if (!prepareQuickEditRoot(editRoot) || !makePrivateFolder(folder, false))
        return false;

    // Whatever fails from here leaves no folder behind: nothing in it was
    // handed to the user yet.
    std::string copy = folder + "/" + name;
    std::string error;
    CopyState state;
    Nuvaro::Data::VariantRow record;
    bool ready = false;
    const std::string recordFile = folder + "/" + kEditInfoName;
    if (!connector.downloadFile(remotePath, name, copy, error, "Sync", -1, -1)) {
        syncLog().error("Quick edit download failed for " + remotePath + ": " + error);
    } else if (!setOwnMode(copy, S_IFREG, 0600)) {
        syncLog().error("Quick edit copy cannot be made private: " + copy);
    } else if (!readCopyState(copy, state)) {
        syncLog().error("Quick edit copy cannot be read: " + copy);
    } else {
        record["path"] = serverFolder;
        record["name"] = name;
        putCopyState(record, state);
        ready = record.write(recordFile) && setOwnMode(recordFile, S_IFREG, 0600);
        if (!ready)
            syncLog().error("Error saving edit info in path : " + folder + " " + record.getLastError());
    }
    if (!ready) {
        greedyRecursiveWipe(folder);
        return false;
    }
    openWithDesktop(copy);
    uiPostEvent(static_cast<uiEventType>(4), name + " downloaded from cloud for editing", 0);
    return true;
}

} // namespace Sync
} // namespace Nuvaro
