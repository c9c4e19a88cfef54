// Text, name and identity helpers of Nuvaro::Util (see NuvaroUtil.h).

#include "NuvaroUtil.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DigestEngine.h>
#include <Poco/LocalDateTime.h>
#include <Poco/SHA1Engine.h>
#include <Poco/Timestamp.h>
#include <Poco/UUIDGenerator.h>

#include <utf8proc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace Nuvaro {
namespace Util {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string countOf(Poco::Int64 n, const char* unit) {
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

// Fixed namespace of the identities made by createUUIDFromString.
const Poco::UUID kNameSpace("3f0c7a52-9e41-4d8b-b6a7-5c2e19d04f63");

} // namespace

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void splitFolder(const std::string& path, std::string& name, std::string& folder) {
    std::size_t end = path.size();
    while (end > 1 && isSeparator(path[end - 1])) --end;  // ignore trailing separators
    if (end == 1 && isSeparator(path[0])) end = 0;        // the root has no name
    if (end == 0) {
        name.clear();
        folder = path;
        return;
    }
    std::size_t cut = end;
    while (cut > 0 && !isSeparator(path[cut - 1])) --cut;
    name = path.substr(cut, end - cut);
    if (cut == 0) {
        folder.clear();
        return;
    }
    std::size_t folderEnd = cut - 1;  // drop the separator before the name ...
    while (folderEnd > 0 && isSeparator(path[folderEnd - 1])) --folderEnd;  // ... and any doubled ones
    folder = folderEnd == 0 ? path.substr(0, 1) : path.substr(0, folderEnd);
}

void addEndingSeparator(const std::string& path, std::string& out) {
    out = path;
    if (!out.empty() && !isSeparator(out.back())) out += "/";
}

std::string readableFileSize(Poco::Int64 bytes, int precision) {
    if (bytes < 0) bytes = 0;
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const char* units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f %s", precision < 0 ? 0 : precision, value, units[unit]);
    return text;
}

std::string readableTimeSpan(const Poco::Timespan& span) {
    if (span.totalSeconds() <= 0) return "0 seconds";
    if (span.days() > 0) return countOf(span.days(), "day");
    if (span.totalHours() > 0) return countOf(span.totalHours(), "hour");
    if (span.totalMinutes() > 0) return countOf(span.totalMinutes(), "minute");
    return countOf(span.totalSeconds(), "second");
}

std::string localTimeStrFromUTCTime(const Poco::DateTime& utc) {
    return Poco::DateTimeFormatter::format(Poco::LocalDateTime(utc), Poco::DateTimeFormat::SORTABLE_FORMAT);
}

std::string localTimeStrFromUTCTime(Poco::Int64 utcTimeValue) {
    return localTimeStrFromUTCTime(Poco::DateTime(Poco::Timestamp::fromUtcTime(utcTimeValue)));
}

Poco::UUID createUUIDFromString(const std::string& text) {
    return Poco::UUIDGenerator::defaultGenerator().createFromName(kNameSpace, text);
}

bool isAllowedFile(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (ch == '/' || c < 0x20 || c == 0x7F) return false;
    }
    return isValidUtf8(name);
}

namespace {

// Calls `valid(bytes, length)` for each well-formed UTF-8 sequence of the
// text and `invalid()` for each byte that starts none; stops when a call
// returns false.
template <typename Valid, typename Invalid>
void forEachSequence(const std::string& text, Valid valid, Invalid invalid) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t codepoint = 0;
        utf8proc_ssize_t used = utf8proc_iterate(bytes, left, &codepoint);
        bool goOn;
        if (used > 0) {
            goOn = valid(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(used));
        } else {
            goOn = invalid();
            used = 1;
        }
        if (!goOn) return;
        bytes += used;
        left -= used;
    }
}

} // namespace

bool isValidUtf8(const std::string& text) {
    bool valid = true;
    forEachSequence(
        text, [](const char*, std::size_t) { return true; }, [&valid] { return valid = false; });
    return valid;
}

bool toNFC(const std::string& text, std::string& out) {
    bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        out = text;
        return true;
    }
    utf8proc_uint8_t* result = nullptr;
    utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                     &result, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0) return false;
    out.assign(reinterpret_cast<const char*>(result), static_cast<std::size_t>(length));
    std::free(result);
    return true;
}

std::string displayableUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    forEachSequence(
        text,
        [&out](const char* bytes, std::size_t length) {
            out.append(bytes, length);
            return true;
        },
        [&out] {
            out.append("\xEF\xBF\xBD");  // U+FFFD
            return true;
        });
    return out;
}

std::string getSHA1Hash(const std::string& text) {
    Poco::SHA1Engine engine;
    engine.update(text);
    return Poco::DigestEngine::digestToHex(engine.digest());
}

namespace HTTP {

std::string getXMLResult(const std::string& command, bool result, const std::string& message) {
    return "<commands><command><type>" + escapeXml(command) + "</type><result>" + (result ? "1" : "0") +
           "</result><message>" + escapeXml(message) + "</message></command></commands>";
}

} // namespace HTTP

} // namespace Util
} // namespace Nuvaro
