#pragma once

// Name rules shared by the folder-tree walk, the folder scan, the jobs'
// change scan, the sync worker and the runner: the characters no
// synchronised name may hold, the extension of a name, the search of a skip
// pattern in a name, the NFC form names are compared in, the Unicode "Other"
// characters and the names of conflict copies. (Unicode normalisation itself
// is Nuvaro::Util::toNFC.) Stateless; any thread.

#include <Poco/RegularExpression.h>

#include <string>

namespace Nuvaro {
namespace Sync {
namespace NameRules {

// True for a name no synchronised item may have: it begins with "~" or holds
// one of < > : " / \ | ? * or a carriage return or a line feed.
bool hasBadChars(const std::string& name);

// The text after the last "." of the name with ASCII letters lower-cased;
// "" when the name has no ".". "Report.PDF" -> "pdf", "README" -> "".
std::string lowerExtension(const std::string& name);

// True when `pattern` matches somewhere in `name`: an unanchored search
// from the first byte (Poco's bool match() would require the whole name to
// match).
bool matchesAnywhere(const Poco::RegularExpression& pattern, const std::string& name);

// The Unicode NFC form of a name or path, for comparing names; the text
// unchanged when it is not valid UTF-8.
std::string nfc(const std::string& text);

// Conflict copies. When a file changed on both sides, the server's version
// is placed beside the local file under the name
//     base + "(Conflict_" + device + "_" + stamp + ")" [+ "." + extension]
// where base and extension split the file name at its last "." (no "." and
// no extension when the name has none), device is the changing device's
// name reduced to ASCII letters and digits (possibly empty) and stamp the
// local time of the copy, "YYYY-MM-DD-hh-mm-ss". For example:
//     "report.v2.txt", "MyPC", "2024-05-01-13-45-10"
//         -> "report.v2(Conflict_MyPC_2024-05-01-13-45-10).txt"
//     "README", "", "2024-05-01-13-45-10"
//         -> "README(Conflict__2024-05-01-13-45-10)"
// Users, the folder scan and the overlay status recognise copies by this
// form, so only a name of the whole form counts as one:
// "Conflict_Analysis.xlsx" and "a(Conflict_x).txt" do not.
std::string conflictCopyName(const std::string& fileName, const std::string& device, const std::string& stamp);
// True when `name` has the whole form above, for any file, device and stamp.
bool isConflictCopyName(const std::string& name);
// True when `name` is a copy of the whole form made of `fileName` by
// `device` (at any time): same base, same device, same extension.
bool isConflictCopyOf(const std::string& name, const std::string& fileName, const std::string& device);
// True when `name` is a copy of the whole form made of `fileName` by any
// device (at any time): same base, same extension.
bool isConflictCopyOf(const std::string& name, const std::string& fileName);

// True when the name holds a character of the Unicode category "Other"
// (control, format, unassigned, private use, surrogate) that is not white
// space: the pattern "[^\PC\s]", case-insensitive, UTF-8.
bool hasInvalidChars(const std::string& name);

} // namespace NameRules
} // namespace Sync
} // namespace Nuvaro
