#include "NameRules.h"

#include "NuvaroUtil.h"

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

std::string nfc(const std::string& text) {
    std::string normalised;
    return Nuvaro::Util::toNFC(text, normalised) ? normalised : text;
}

namespace {

const std::string kConflictMark = "(Conflict_";
// "YYYY-MM-DD-hh-mm-ss"
const std::size_t kStampLength = 19;

// Splits at the last ".": "a.b.txt" -> "a.b" and "txt"; "README" -> itself and "".
void splitExtension(const std::string& fileName, std::string& base, std::string& extension) {
    std::string::size_type dot = fileName.rfind('.');
    base = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    extension = dot == std::string::npos ? std::string() : fileName.substr(dot + 1);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isAsciiAlnum(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The stamp "YYYY-MM-DD-hh-mm-ss" at `at` in `text`.
bool isStampAt(const std::string& text, std::size_t at) {
    if (text.size() < at + kStampLength)
        return false;
    for (std::size_t i = 0; i < kStampLength; ++i) {
        const bool dash = i == 4 || i == 7 || i == 10 || i == 13 || i == 16;
        if (dash ? text[at + i] != '-' : !isDigit(text[at + i]))
            return false;
    }
    return true;
}

// What may follow the closing ")" of a copy: nothing, or "." and an
// extension without a further ".".
bool isCopyEnding(const std::string& text, std::size_t at) {
    if (at == text.size())
        return true;
    return text[at] == '.' && at + 1 < text.size() && text.find('.', at + 1) == std::string::npos;
}

} // namespace

std::string conflictCopyName(const std::string& fileName, const std::string& device, const std::string& stamp) {
    std::string base, extension;
    splitExtension(fileName, base, extension);
    return base + kConflictMark + device + "_" + stamp + ")" + (extension.empty() ? "" : "." + extension);
}

bool isConflictCopyName(const std::string& name) {
    for (std::size_t mark = name.find(kConflictMark); mark != std::string::npos;
         mark = name.find(kConflictMark, mark + 1)) {
        std::size_t at = mark + kConflictMark.size();
        while (at < name.size() && isAsciiAlnum(name[at]))
            ++at;
        if (at < name.size() && name[at] == '_' && isStampAt(name, at + 1) && name.size() > at + 1 + kStampLength &&
            name[at + 1 + kStampLength] == ')' && isCopyEnding(name, at + 2 + kStampLength))
            return true;
    }
    return false;
}

bool isConflictCopyOf(const std::string& name, const std::string& fileName, const std::string& device) {
    std::string base, extension;
    splitExtension(fileName, base, extension);
    const std::string prefix = base + kConflictMark + device + "_";
    const std::string suffix = ")" + (extension.empty() ? "" : "." + extension);
    return name.size() == prefix.size() + kStampLength + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           isStampAt(name, prefix.size()) && name.compare(prefix.size() + kStampLength, suffix.size(), suffix) == 0;
}

bool isConflictCopyOf(const std::string& name, const std::string& fileName) {
    std::string base, extension;
    splitExtension(fileName, base, extension);
    const std::string prefix = base + kConflictMark;
    if (name.compare(0, prefix.size(), prefix) != 0)
        return false;
    // The device is the run of letters and digits after the mark: it ends at
    // the first other character, which must be the "_" before the stamp.
    std::size_t at = prefix.size();
    while (at < name.size() && isAsciiAlnum(name[at]))
        ++at;
    const std::string device = name.substr(prefix.size(), at - prefix.size());
    return isConflictCopyOf(name, fileName, device);
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
