#include "NameRules.h"

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

} // namespace NameRules
} // namespace Sync
} // namespace Nuvaro
