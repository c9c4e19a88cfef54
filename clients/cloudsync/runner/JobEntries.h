#pragma once

// The network-folder and backup jobs configured in syncconconfig.xml, and how
// they are brought into the job database (offline.db) at start-up.
//
// The configuration holds "offline_folder_count" and the entries
// "offline_folder_1" up to that count. Each entry is six fields separated by
// "|" (empty fields count):
//     local folder | server path | type | schedule | recurse | remote delete
// for example "/home/jdoe/Pictures|/jdoe/Backups/Pictures|1|24h|1|0". The
// type is a decimal number (0 network folder, 1 backup); recurse and remote
// delete are on when the field is "1". An entry becomes a job with those
// values, an empty last run and the e-mail flag off.
//
// Stateless; the database locks itself.

#include "FOOfflineDB.h"
#include "FOOfflineJobData.h"
#include "VariantRow.h"

#include <ostream>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

// What is wrong with the configured entries.
enum class JobEntryError {
    None,
    BadCount,       // "offline_folder_count" is not a whole number
    Missing,        // an entry up to the count is absent
    BadFieldCount,  // an entry does not split into exactly six fields
    BadType         // an entry's type is not a whole number
};

// Parses one entry into job. False (job unchanged) with BadFieldCount or
// BadType in error.
bool parseJobEntry(const std::string& text, FOOfflineJobData& job, JobEntryError& error);

// Reads every entry of the configuration, in order, into jobs (emptied
// first). A count that is absent, empty or below 1 gives no entries. On an
// error, jobs is empty and `where` holds the entry's name ("offline_folder_2")
// or, for BadCount, the count's text.
JobEntryError readJobEntries(const Nuvaro::Data::VariantRow& config, std::vector<FOOfflineJobData>& jobs,
                             std::string& where);

// Makes the stored jobs follow the configured ones, printing one line per
// change on console:
//   - no entries: every job is deleted with its rows and activity;
//   - a stored job whose local folder and server path no entry has both of
//     is deleted ("Deleting Offline Folder: L <--> R");
//   - an entry with a stored job of the same two paths updates it when the
//     type, recursion, schedule, remote-delete or e-mail flag differ
//     ("Updating Offline Folder: L <--> R"; its last run becomes empty);
//   - an entry without one is added ("Adding New Offline Folder: L <--> R").
// A job that cannot be stored (for example a second entry for the same local
// folder) prints "ERROR: Failed to store Offline Folder: L <--> R" and the
// others go on.
void reconcileJobEntries(FOOfflineDB& db, const std::vector<FOOfflineJobData>& entries, std::ostream& console);

} // namespace Sync
} // namespace Nuvaro
