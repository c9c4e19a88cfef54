// FSWorker: server changes the apply step cannot place. A colleague's edit
// of a file in a folder the user made read-only or unreadable, a folder the
// server made where the user keeps a file of that name: such a placement
// fails at every try until the user changes something. Each one holds back
// only itself:
//
//   - the step places and saves the rest of its delta; the held record's
//     change is taken back from the store, so the database keeps the item's
//     old record (the local file stays "unchanged since the last sync" for
//     the scan and the conflict rules), and no local change at, above or
//     below its path is sent (keepSendableLocalChanges): nothing of the
//     user's goes up over a server version this client never placed;
//   - the folder's status set moves on all the same (the other changes, and
//     the further pages of a large delta, must not wait behind one item), so
//     the held change is remembered in the data folder (HeldBackChanges),
//     written before the status set is saved: a kill or a restart at any
//     moment loses none (before that save the same delta comes again);
//   - at every pass, the held changes of a sync folder join the first delta
//     of the folder (retryHeldBack; the folder is asked for its delta even
//     when the server has nothing new there), are staged (the staged file of
//     the last try is kept and reused) and placed like any record, with the
//     usual conflict rules; a newer change of the same server path (an edit,
//     a deletion) takes the held one's place;
//   - each is reported once per pass when the pass ends (reportHeldBack):
//     one error line, one activity entry. The failure lines of its
//     placement go to the debug level meanwhile (FailureCapture). The saves
//     of a pass clear the error entries, so one entry stays while it lasts.
//
// Why not leave the status set where it was instead: the next delta would
// then bring every change since again, the further pages of a paged delta
// would never come (each round asks from the stored status), and a server
// that changes often would make the redone part grow at every pass.
//
// Worked example: "My Files/locked" is read-only here; a colleague edits
// locked/plan.txt and the user adds notes.txt. The pass places the other
// server changes, holds plan.txt back (neither the file nor a conflict copy
// can be written), saves, sends notes.txt and reports plan.txt once. Two
// passes later the user has made the folder writable: that pass places
// plan.txt (the local copy is unchanged since the last sync) and forgets it.
//
// Worker thread only.

#include "FSWorker.h"

#include "WorkerHelpers.h"

#include <algorithm>
#include <set>

namespace Nuvaro {
namespace Sync {

namespace {

std::string serverPathOf(const Nuvaro::DataSync::DataSyncRecordPtr& change) {
    const FSSyncRecord* record = dynamic_cast<const FSSyncRecord*>(change.get());
    return record ? FSSyncDB::convertToLinuxPath(record->getFullPath()) : std::string();
}

} // namespace

// ---- The failure of one placement ----

FSWorker::FailureCapture::FailureCapture(FSWorker& worker) : m_worker(worker) {
    m_worker.capturedFailure = FailureReport();
    m_worker.captureFailure = true;
}

FSWorker::FailureCapture::~FailureCapture() {
    m_worker.captureFailure = false;
}

void FSWorker::placementError(const std::string& line) const {
    if (!captureFailure.load()) {
        syncLog().error(line);
        return;
    }
    syncLog().debug(line);
    if (!capturedFailure.captured) {
        capturedFailure.captured = true;
        capturedFailure.message = line;
    }
}

// ---- Trying again ----

void FSWorker::addFoldersWithHeldBackChanges() {
    const std::vector<std::string> folders = heldBack.folders();
    if (folders.empty())
        return;
    std::vector<std::string> synced;
    db->getSyncFolders(synced);
    for (const std::string& folder : folders) {
        if (std::find(synced.begin(), synced.end(), folder) == synced.end()) {
            syncLog().information("Forgetting the server changes held back in " + folder +
                                  ", which is no longer synced");
            heldBack.replace(folder, HeldBackChanges::Records());
            continue;
        }
        const bool listed = std::any_of(pass.syncFolders.begin(), pass.syncFolders.end(),
                                        [&](const std::pair<std::string, bool>& f) { return f.first == folder; });
        if (!listed && pass.retriedFolders.count(folder) == 0)
            pass.syncFolders.emplace_back(folder, false);
    }
}

void FSWorker::retryHeldBack(const std::string& folder) {
    if (!pass.retriedFolders.insert(folder).second)
        return;
    const HeldBackChanges::Records held = heldBack.of(folder);
    if (held.empty())
        return;
    std::set<std::string> carried;
    for (const auto& change : pass.serverChanges)
        carried.insert(serverPathOf(change));
    for (const auto& entry : held) {
        if (carried.count(entry.first) != 0) {
            syncLog().debug("FS A newer server change replaces the one held back: " +
                            entry.second->getLocalFullPath());
            continue;
        }
        syncLog().debug("FS Trying again the server change held back: " + entry.second->getLocalFullPath());
        pass.serverChanges.push_back(entry.second);
    }
}

// ---- Holding back ----

void FSWorker::holdBack(std::size_t index, Nuvaro::DataSync::DataSyncStore& store, const FailureReport& failure,
                        HeldBackChanges::Records& held) {
    FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(pass.serverChanges[index]);
    if (!record)
        return;
    store.forgetChange(record->getId());
    const std::string serverPath = FSSyncDB::convertToLinuxPath(record->getFullPath());
    held[serverPath] = record;
    pass.heldThisPass[serverPath] = PassState::Held{failure, record->getLocalFullPath(), record->getFriendlyName()};
    syncLog().debug("FS Server change held back, tried again at the next pass: " + record->getLocalFullPath());
}

bool FSWorker::rememberHeldBack(const std::string& folder, const HeldBackChanges::Records& held) {
    if (held.empty())
        return true;
    HeldBackChanges::Records all = heldBack.of(folder);
    for (const auto& entry : held)
        all[entry.first] = entry.second;
    if (heldBack.replace(folder, all))
        return true;
    reportError("EndSync: Failed noting the server changes held back in " + folder +
                    ", the changes are asked for again",
                folder, "", FSActivity::TypeError);
    return false;
}

void FSWorker::settleHeldBack(const std::string& folder, const HeldBackChanges::Records& held) {
    const HeldBackChanges::Records before = heldBack.of(folder);
    std::set<std::string> carried;
    for (const auto& change : pass.serverChanges) {
        const std::string path = serverPathOf(change);
        carried.insert(path);
        // Placed in this step after it was held back earlier in the pass.
        if (held.count(path) == 0)
            pass.heldThisPass.erase(path);
    }
    HeldBackChanges::Records left = held;
    for (const auto& entry : before) {
        if (carried.count(entry.first) == 0)
            left.insert(entry);
        else if (held.count(entry.first) == 0)
            syncLog().debug("FS Server change no longer held back: " + entry.second->getLocalFullPath());
    }
    // A failure leaves the changes remembered before: tried again, they are
    // found placed.
    heldBack.replace(folder, left);
}

void FSWorker::reportHeldBack() {
    for (const auto& entry : pass.heldThisPass) {
        const PassState::Held& held = entry.second;
        const FailureReport& failure = held.failure;
        // The first failure's words, with the change's own path (a folder
        // that cannot be made fails every file in it alike).
        reportError(failure.captured ? failure.message : "Failed placing the server's change",
                    held.localFullPath, held.friendlyName, FSActivity::TypeError);
    }
    pass.heldThisPass.clear();
}

} // namespace Sync
} // namespace Nuvaro
