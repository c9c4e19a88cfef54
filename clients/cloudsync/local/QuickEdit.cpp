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

#include <sys/stat.h>

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
    Poco::File(folder).createDirectories();
    if (!Poco::File(folder).exists())
        return false;

    // Whatever fails from here leaves no folder behind: nothing in it was
    // handed to the user yet.
    std::string copy = folder + "/" + name;
    std::string error;
    CopyState state;
    Nuvaro::Data::VariantRow record;
    bool ready = false;
    if (!connector.downloadFile(remotePath, name, copy, error, "Sync", -1, -1)) {
        syncLog().error("Quick edit download failed for " + remotePath + ": " + error);
    } else if (!readCopyState(copy, state)) {
        syncLog().error("Quick edit copy cannot be read: " + copy);
    } else {
        record["path"] = serverFolder;
        record["name"] = name;
        putCopyState(record, state);
        ready = record.write(folder + "/" + kEditInfoName);
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
