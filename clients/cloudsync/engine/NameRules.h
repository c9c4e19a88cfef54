#pragma once

// Name rules shared by the folder-tree walk, the folder scan and the jobs'
// change scan: the characters no synchronised name may hold, the extension
// of a name, the search of a skip pattern in a name and the Unicode "Other"
// characters. (Unicode normalisation is Nuvaro::Util::toNFC.) Stateless; any
// thread.

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

// True when the name holds a character of the Unicode category "Other"
// (control, format, unassigned, private use, surrogate) that is not white
// space: the pattern "[^\PC\s]", case-insensitive, UTF-8.
bool hasInvalidChars(const std::string& name);

} // namespace NameRules
} // namespace Sync
} // namespace Nuvaro
