// FSWorker: the placement journal of the apply step. Files are placed in
// the sync folder before their records are saved; a kill between the two
// would leave files this client placed itself without a record, and the
// next start would take them for local edits (conflict copies, uploads of
// stale content over newer server versions, files the server deleted sent
// back). So before the step places anything it notes, in one write of the
// journal file, what it is about to place (server path, size, modification
// time of each file) together with the folder's stored status set; the
// records and the status set are saved as before, and then the journal is
// emptied in one more write. The journal is a file of the data folder, not
// a table: the database commits of a step stay what they were, whatever the
// number of files, and the schema is untouched.
//
// A journal still there when the folder's next step starts, with the status
// set still the one it names, comes from a step that never saved: the same
// changes are asked for again, and a local file that still has the size and
// modification second the journal noted is this client's own placement of
// that version, not a local edit. The journal is kept (and taken into the
// next step's journal) until a step of the folder saved with the server's
// full status; its entries the server no longer mentions then were deleted on
// the server, and such a file left exactly as placed goes too.
//
// The file dataPath + "/.applyjournal", replaced as a whole (temporary file,
// flushed, renamed), removed when no folder has an entry. Text, per sync
// folder with an unfinished step: a line "#", TAB, the folder's server path,
// TAB, the status set; then one line per file: size, TAB, modification time
// (the records' UTC unit), TAB, the server path, TAB, the local path below
// the sync folder (texts percent-encoded).

#include "FSWorker.h"

#include "CloudPath.h"
#include "NuvaroUtil.h"
#include "WorkerHelpers.h"

#include <Poco/NumberParser.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kJournalName = "/.applyjournal";

const std::string& fullPathOf(const Nuvaro::DataSync::DataSyncRecordPtr& change) {
    static const std::string none;
    const FSSyncRecord* record = dynamic_cast<const FSSyncRecord*>(change.get());
    return record ? record->getFullPath() : none;
}

} // namespace

std::string FSWorker::PlacementJournal::text(const std::string& folder) const {
    std::string out = "#\t" + fieldText(folder) + "\t" + fieldText(status) + "\n";
    for (const auto& entry : files)
        out += decimal(entry.second.size) + "\t" + decimal(entry.second.modified) + "\t" + fieldText(entry.first) +
               "\t" + fieldText(entry.second.localFullPath) + "\n";
    return out;
}

bool FSWorker::PlacementJournal::parse(const std::string& text, std::map<std::string, PlacementJournal>& journals,
                                       const std::string* leaveOut) {
    std::istringstream in(text);
    std::string line;
    PlacementJournal* current = nullptr;
    // Inside the journal of the folder left out: its lines are checked, not
    // kept.
    bool skipping = false;
    while (std::getline(in, line)) {
        const std::vector<std::string> fields = lineFields(line);
        try {
            if (fields.size() == 3 && fields[0] == "#") {
                const std::string folder = fieldValue(fields[1]);
                skipping = leaveOut && folder == *leaveOut;
                current = skipping ? nullptr : &journals[folder];
                if (current)
                    current->status = fieldValue(fields[2]);
                continue;
            }
            Placed placed;
            if ((!current && !skipping) || fields.size() != 4 || !Poco::NumberParser::tryParse64(fields[0], placed.size) ||
                !Poco::NumberParser::tryParse64(fields[1], placed.modified))
                return false;
            const std::string path = fieldValue(fields[2]);
            placed.localFullPath = fieldValue(fields[3]);
            if (current)
                current->files[path] = placed;
        } catch (...) {
            return false;
        }
    }
    return true;
}

std::map<std::string, FSWorker::PlacementJournal> FSWorker::readPlacementJournals(const std::string* leaveOut) const {
    std::map<std::string, PlacementJournal> journals;
    std::ifstream in(dataPath + kJournalName, std::ios::binary);
    if (!in)
        return journals;
    std::ostringstream text;
    text << in.rdbuf();
    if (!PlacementJournal::parse(text.str(), journals, leaveOut)) {
        syncLog().error("EndSync: the placement journal cannot be read, it is ignored");
        journals.clear();
    }
    return journals;
}

bool FSWorker::storePlacementJournal(const std::string& folder, const PlacementJournal& journal) {
    // The other folders' journals only: the folder's own old one (which may
    // list every file of a first sync) is neither kept nor copied; the new
    // one is written from the caller's object.
    const std::map<std::string, PlacementJournal> journals = readPlacementJournals(&folder);
    const std::string path = dataPath + kJournalName;
    if (journals.empty() && journal.files.empty())
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    std::string text;
    for (const auto& entry : journals)
        text += entry.second.text(entry.first);
    if (!journal.files.empty())
        text += journal.text(folder);
    std::string error;
    if (Nuvaro::Util::replaceFile(path, text, error))
        return true;
    syncLog().error("EndSync: the placement journal cannot be written: " + error);
    return false;
}

void FSWorker::loadUnsavedPlacements(const std::string& folder) {
    unsavedPlacements.clear();
    std::map<std::string, PlacementJournal> journals = readPlacementJournals();
    const auto found = journals.find(folder);
    if (found == journals.end())
        return;
    PlacementJournal& journal = found->second;
    std::string stored;
    if (!db->getStatusSet(folder, stored) || journal.status != stored) {
        // Written before a step whose records and status were saved after
        // all (the journal's clearing did not happen): nothing to recognise.
        return;
    }
    unsavedPlacements = std::move(journal.files);
    syncLog().information("EndSync: " + decimal(static_cast<Poco::Int64>(unsavedPlacements.size())) +
                          " files placed in " + folder + " by a step that did not save its records");
}

bool FSWorker::writePlacementJournal(const std::string& folder) {
    placementJournalWritten = false;
    PlacementJournal journal;
    if (!db->getStatusSet(folder, journal.status))
        return false;
    journal.files = unsavedPlacements;
    for (const auto& change : pass.serverChanges) {
        FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(change);
        if (!record || record->getType() == FSTypeFolder || record->getIsDeleted() == 1 || record->getFlags() == "SKIP")
            continue;
        journal.files[record->getFullPath()] =
            Placed{record->getSize(), record->getModified(), record->getLocalFullPath()};
    }
    if (journal.files.empty())
        return true;
    if (storePlacementJournal(folder, journal)) {
        placementJournalWritten = true;
        return true;
    }
    reportError("EndSync: Failed noting the files to place in " + folder + ", the changes are asked for again",
                folder, "", FSActivity::TypeError);
    return false;
}

void FSWorker::settlePlacementJournal(const std::string& folder) {
    // Entries the server's delta of this step did not mention stay until a
    // step with the server's full status has seen them.
    PlacementJournal left;
    for (const auto& change : pass.serverChanges)
        unsavedPlacements.erase(fullPathOf(change));
    if (pass.remoteStatus != pass.remoteFullStatusSet) {
        left.status = pass.remoteStatus;
        left.files = unsavedPlacements;
    }
    // Nothing to write when the step noted nothing, nothing is left and no
    // stale journal of the folder is there.
    if (left.files.empty() && !placementJournalWritten && readPlacementJournals().count(folder) == 0)
        return;
    // A failure leaves the old journal, whose status no longer matches: it is
    // then ignored, which is what an empty one would say.
    storePlacementJournal(folder, left);
    unsavedPlacements.clear();
}

bool FSWorker::placedByUnsavedStep(const std::string& fullPath, Poco::Int64 size, Poco::Int64 modified) const {
    const auto found = unsavedPlacements.find(fullPath);
    if (found == unsavedPlacements.end() || found->second.size != size ||
        wholeSecondOf(found->second.modified) != wholeSecondOf(modified))
        return false;
    syncLog().debug("FS File placed by a step that did not save its records: " + found->second.localFullPath);
    return true;
}

void FSWorker::removeUnclaimedPlacements() {
    if (unsavedPlacements.empty() || pass.remoteStatus != pass.remoteFullStatusSet)
        return;
    std::set<std::string> mentioned;
    for (const auto& change : pass.serverChanges)
        mentioned.insert(fullPathOf(change));
    for (const auto& entry : unsavedPlacements) {
        if (mentioned.count(entry.first) != 0 || !CloudPath::isSoundRelativePath(entry.second.localFullPath))
            continue;
        FSSyncRecordPtr stored = db->getFSSyncRecord(entry.first);
        if (stored && stored->getIsDeleted() != 1)
            continue;
        // The server's changes since the status the unsaved step started
        // from no longer carry the file: it came after that status and was
        // deleted on the server since. The local file goes when it still is
        // exactly what was placed.
        const std::string localPath = syncPath + "/" + entry.second.localFullPath;
        struct stat info;
        if (::lstat(localPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            !placedByUnsavedStep(entry.first, static_cast<Poco::Int64>(info.st_size), utcModified(info)))
            continue;
        if (::unlink(localPath.c_str()) == 0)
            syncLog().information("FS Removed a placed file the server deleted before its record was saved: " +
                                  localPath);
    }
}

} // namespace Sync
} // namespace Nuvaro
