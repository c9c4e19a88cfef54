#include "FSActivity.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>

#include <cctype>

namespace Nuvaro {
namespace Sync {

namespace {

// True for exactly "YYYY-MM-DD hh:mm:ss": digits everywhere but the five
// separators. The date parser itself skips what it cannot read, so it would
// accept any text; this keeps a damaged row from passing as the year 0.
bool isSortableDateText(const std::string& text) {
    static const char pattern[] = "0000-00-00 00:00:00";
    if (text.size() != sizeof(pattern) - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digitWanted = pattern[i] == '0';
        const bool isDigit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (digitWanted ? !isDigit : text[i] != pattern[i]) return false;
    }
    return true;
}

} // namespace

bool FSActivity::isLasting(Type type) {
    return type == TypeConflict || type == TypeError || type == TypeUploadFailure || type == TypeSkippedLocal;
}

FSActivity::FSActivity(Level level_, Type type_, const std::string& message_, const std::string& fullPath_,
                       const std::string& friendlyName_)
    : level(level_), type(type_), message(message_), fullPath(fullPath_), friendlyName(friendlyName_) {}

FSActivity::FSActivity(int itemId_, Level level_, Type type_, const std::string& message_,
                       const std::string& fullPath_, const std::string& date_, const std::string& friendlyName_)
    : level(level_), type(type_), message(message_), fullPath(fullPath_), itemId(itemId_),
      friendlyName(friendlyName_) {
    if (!isSortableDateText(date_)) throw Poco::SyntaxException("not a sortable UTC date", date_);
    // The text is UTC already, so the zone differential the parser reports is
    // not applied.
    int zoneDifferential = 0;
    Poco::DateTimeParser::parse(Poco::DateTimeFormat::SORTABLE_FORMAT, date_, date, zoneDifferential);
}

FSActivity::FSActivity() = default;

std::string FSActivity::dateText() const {
    std::string text;
    Poco::DateTimeFormatter::append(text, date, Poco::DateTimeFormat::SORTABLE_FORMAT,
                                    Poco::DateTimeFormatter::UTC);
    return text;
}

} // namespace Sync
} // namespace Nuvaro
