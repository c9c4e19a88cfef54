// FSWorker: what of the scan's change list a pass may send once its server
// half is done.
//
// The list comes from a scan made before the server half applied anything.
// Sending all of it after server changes came in could undo them: the user
// deleted report.txt here while a colleague updated it; the server half
// places the colleague's version, and sending the deletion now would delete
// that version everywhere. Waiting for a pass without server changes is no
// answer either: a folder in use changes at every pass, and the user's own
// changes would never go. So the list is narrowed instead:
//
//     local change at a path ...                         this pass
//     at, above or below a server change held back       waits, no new scan
//     that a server change of this pass touched          waits for a new scan
//     changed since the scan (size, second, kind)        waits for a new scan
//       (a removal whose place holds an item of the other kind is a kind
//       change, not a change since the scan)
//     anything else                                      sent
//
// "Touched": a server change at the same path, below it (a removed folder
// here whose server copy gained a file), or above it when that change is
// not a folder the server has (a folder deleted or replaced there). A folder
// the server has (created, or the sync folder's own item) holds back
// nothing below it. The touched changes went through the apply step's
// conflict rules already (the scan's list was its send list then); the new
// scan compares the folder with the records just saved and finds what is
// still to send: nothing for report.txt (it is there again, unchanged), the
// user's edit of a file the server also changed stays beside the server's
// version (conflict copy), nothing is lost.
//
// Worked example: the server changed busy.txt, the user added new.txt and
// edited shared.txt, which the server changed too. new.txt is untouched and
// still as scanned: it goes in this pass. shared.txt got a conflict copy in
// the server half and waits for the new scan.
//
// Worker thread only.

#include "FSWorker.h"

#include "FSEntry.h"
#include "WorkerHelpers.h"

#include <cerrno>
#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

bool FSWorker::keepSendableLocalChanges(bool serverChangesCameIn) {
    Poco::Logger& log = syncLog();
    // Touched by a server change of this pass (see above).
    auto touched = [this](const std::string& path) {
        if (pass.passPaths.count(path) != 0)
            return true;
        const std::string inside = path + "/";
        const auto below = pass.passPaths.lower_bound(inside);
        if (below != pass.passPaths.end() && below->compare(0, inside.size(), inside) == 0)
            return true;
        for (std::string above = path; above.rfind('/') != std::string::npos;) {
            above.resize(above.rfind('/'));
            if (pass.passPaths.count(above) != 0 && pass.passLiveFolders.count(above) == 0)
                return true;
        }
        return false;
    };
    bool rescan = false;
    RecordVector sendable;
    for (const auto& change : localChanges) {
        const FSSyncRecord* record = dynamic_cast<const FSSyncRecord*>(change.get());
        if (!record)
            continue;
        const std::string& path = record->getLocalFullPath();
        if (heldBack.meets(path)) {
            log.debug("Local change waits for the server change held back at its path: " + path);
        } else if (serverChangesCameIn && touched(path)) {
            log.debug("Local change touched by a server change of this pass, left to a new scan: " + path);
            rescan = true;
        } else if (serverChangesCameIn && !unchangedSinceScan(*record)) {
            log.debug("Local change changed since the scan, left to a new scan: " + path);
            rescan = true;
        } else {
            sendable.push_back(change);
        }
    }
    localChanges.swap(sendable);
    return rescan;
}

bool FSWorker::unchangedSinceScan(const FSSyncRecord& change) const {
    std::string localPath;
    if (!localPathOf(change, localPath))
        return false;
    struct stat info;
    if (::lstat(localPath.c_str(), &info) != 0)
        return change.getIsDeleted() == 1 && errno == ENOENT;
    if (change.getIsDeleted() == 1) {
        // Still gone, as an item of its kind: a file or folder of the other
        // kind in its place is a kind change, whose new item has a change
        // of its own (checked on its own).
        const bool folderNow = S_ISDIR(info.st_mode);
        return (folderNow || S_ISREG(info.st_mode)) && folderNow != (change.getType() == FSTypeFolder);
    }
    if (change.getType() == FSTypeFolder)
        return S_ISDIR(info.st_mode);
    return S_ISREG(info.st_mode) && static_cast<Poco::Int64>(info.st_size) == change.getSize() &&
           wholeSecondOf(utcModified(info)) == wholeSecondOf(change.getModified());
}

} // namespace Sync
} // namespace Nuvaro
