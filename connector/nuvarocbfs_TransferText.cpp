#include "nuvarocbfs_Network.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/StringTokenizer.h>
#include <Poco/Timestamp.h>
#include <Poco/URI.h>

#include <sstream>

namespace Nuvaro {

std::string NuvaroConnector::getPrintableSpeedValue(Poco::UInt64 bytes, Poco::UInt64 microseconds) {
    // Single precision throughout, as the transfer logs have always shown it.
    const float seconds = static_cast<float>(microseconds) / 1000000.0f;
    const float b = static_cast<float>(bytes);
    float value;
    const char* unit;
    if (bytes > 1073741823ULL) {
        value = b * (1.0f / 1073741824.0f) / seconds;
        unit = " GB/s";
    } else if (bytes > 1048575ULL) {
        value = b * (1.0f / 1048576.0f) / seconds;
        unit = " MB/s";
    } else if (bytes < 1024ULL) {
        value = b / seconds;
        unit = " Bytes/s";
    } else {
        value = b * (1.0f / 1024.0f) / seconds;
        unit = " KB/s";
    }
    std::ostringstream out;
    out << static_cast<double>(value) << unit;
    return out.str();
}

void splitFolder(const std::string& path, std::string& name, std::string& folder) {
    if (path.empty()) return;
    Poco::StringTokenizer pieces(path, "/\\");
    if (pieces.count() == 0) return;
    for (std::size_t i = 0; i + 1 < pieces.count(); ++i) {
        folder += pieces[i] + "/";
    }
    name = pieces[pieces.count() - 1];
}

std::string UtilGetUTCTimeStrFromUTCTimestamp(Poco::Int64 time) {
    Poco::Timestamp ts = Poco::Timestamp::fromUtcTime(time);
    Poco::DateTime dt(ts);
    const std::string text =
        Poco::DateTimeFormatter::format(dt, Poco::DateTimeFormat::SORTABLE_FORMAT, Poco::DateTimeFormatter::UTC);
    std::string encoded;
    Poco::URI::encode(text, URL_SPECIAL_CHARS, encoded);
    return encoded;
}

} // namespace Nuvaro
