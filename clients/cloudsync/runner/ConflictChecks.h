#pragma once

// Whether a file is, or has, a conflict copy. When a file changed on both
// sides, the sync engine keeps the server's version beside it under a
// conflict name (NameRules::conflictCopyName):
//     "report.docx" -> "report(Conflict_laptop_2017-05-16-10-00-00).docx"
// Only a name of that whole form counts (NameRules::isConflictCopyName), so
// "Conflict_Analysis.xlsx" or "a(Conflict_x).txt" is an ordinary file. The
// overlay status uses the fast test. Neither function logs or throws.
// Stateless; any thread.

#include <string>

namespace Nuvaro {
namespace Sync {

// True when the last name of `path` is a conflict copy's name. Only the last
// name counts: a folder higher up named like a copy does not. False for an
// empty path or one ending in "/".
bool checkForConflictFast(const std::string& path);

// True when the folder of `path` holds a conflict copy of the file `path`
// names: a copy of the same base name and the same extension (letter case
// counts), made on any device at any time; names are compared in Unicode NFC.
// False when none is there, and when the folder cannot be listed.
// Example: true for "/d/report.docx" when "/d" holds
// "report(Conflict_laptop_2017-05-16-10-00-00).docx", false when the only
// copy is "report(Conflict_laptop_2017-05-16-10-00-00).pdf".
bool checkForConflict(const std::string& path);

} // namespace Sync
} // namespace Nuvaro
