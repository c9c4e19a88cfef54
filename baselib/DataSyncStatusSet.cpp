#include "DataSyncStatusSet.h"

#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

namespace Nuvaro {
namespace DataSync {

namespace {

bool isPeerName(const std::string& peer) {
    if (peer.empty()) return false;
    for (char c : peer) {
        bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit) return false;
    }
    return true;
}

} // namespace

DataSyncStatusSet::DataSyncStatusSet() = default;

DataSyncStatusSet::DataSyncStatusSet(const std::string& text) : m_text(text) {
    Poco::StringTokenizer entries(text, ",", Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    for (const auto& entry : entries) {
        std::size_t colon = entry.rfind(':');
        if (colon == std::string::npos || colon == 0) continue;
        Poco::Int64 version = 0;
        if (!Poco::NumberParser::tryParse64(entry.substr(colon + 1), version, '\0')) continue;
        m_versions.emplace(entry.substr(0, colon), static_cast<long>(version));
    }
}

bool DataSyncStatusSet::hasPeer(const std::string& peer) const { return m_versions.count(peer) > 0; }

long DataSyncStatusSet::getVersion(const std::string& peer) const {
    auto it = m_versions.find(peer);
    return it != m_versions.end() ? it->second : 0;
}

bool DataSyncStatusSet::setVersion(const std::string& peer, long version) {
    if (!isPeerName(peer) || version < 0) return false;
    m_versions[peer] = version;
    rebuildText();
    return true;
}

bool DataSyncStatusSet::removePeer(const std::string& peer) {
    if (m_versions.erase(peer) == 0) return false;
    rebuildText();
    return true;
}

void DataSyncStatusSet::rebuildText() {
    std::string text;
    for (const auto& entry : m_versions) {
        if (!text.empty()) text += ",";
        text += entry.first + ":" + std::to_string(entry.second);
    }
    m_text = text;
}

} // namespace DataSync
} // namespace Nuvaro
