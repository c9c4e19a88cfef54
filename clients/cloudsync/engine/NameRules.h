#pragma once

// Name rules shared by the folder-tree walk and the folder scan: the
// characters no synchronised name may hold, the extension of a name and the
// search of a skip pattern in a name. (Unicode normalisation is
// Nuvaro::Util::toNFC.) Stateless; any thread.

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

} // namespace NameRules
} // namespace Sync
} // namespace Nuvaro
