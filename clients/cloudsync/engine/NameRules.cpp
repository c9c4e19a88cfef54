#include "NameRules.h"

#include <algorithm>

namespace Nuvaro {
namespace Sync {
namespace NameRules {

bool hasBadChars(const std::string& name) {
    if (!name.empty() && name[0] == '~')
        return true;
    return name.find_first_of("<>:\"/\\|?*\r\n") != std::string::npos;
}

std::string lowerExtension(const std::string& name) {
    std::string::size_type dot = name.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    std::string extension = name.substr(dot + 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

bool matchesAnywhere(const Poco::RegularExpression& pattern, const std::string& name) {
    Poco::RegularExpression::Match match;
    return pattern.match(name, 0, match) >= 1;
}

bool hasInvalidChars(const std::string& name) {
    // Printable ASCII holds no such character; only other names need the
    // Unicode tables.
    bool printableAscii = std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    if (printableAscii)
        return false;
    static const Poco::RegularExpression pattern(
        "[^\\PC\\s]", Poco::RegularExpression::RE_CASELESS | Poco::RegularExpression::RE_UTF8, true);
    return matchesAnywhere(pattern, name);
}

} // namespace NameRules
} // namespace Sync
} // namespace Nuvaro
