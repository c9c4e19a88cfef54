#include "HeldBackChanges.h"

#include "NuvaroUtil.h"
#include "WorkerHelpers.h"

#include <Poco/Base64Decoder.h>
#include <Poco/Base64Encoder.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

namespace {

std::string base64(const Nuvaro::Data::RawData& raw) {
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder.rdbuf()->setLineLength(0);
    encoder.write(reinterpret_cast<const char*>(raw.getData()), static_cast<std::streamsize>(raw.getSize()));
    encoder.close();
    return out.str();
}

std::string unbase64(const std::string& text) {
    std::istringstream in(text);
    Poco::Base64Decoder decoder(in);
    std::ostringstream out;
    out << decoder.rdbuf();
    return out.str();
}

// The path is `base` or lies below it.
bool atOrBelow(const std::string& path, const std::string& base) {
    return path.compare(0, base.size(), base) == 0 && (path.size() == base.size() || path[base.size()] == '/');
}

} // namespace

void HeldBackChanges::load() {
    if (m_loaded)
        return;
    m_loaded = true;
    std::ifstream in(m_file, std::ios::binary);
    if (!in)
        return;
    std::ostringstream content;
    content << in.rdbuf();
    if (!parse(content.str(), m_held)) {
        syncLog().error("The server changes held back cannot be read from " + m_file + "; they are not tried again");
        m_held.clear();
    }
}

bool HeldBackChanges::parse(const std::string& text, std::map<std::string, Records>& held) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> fields = lineFields(line);
        if (fields.size() != 6)
            return false;
        try {
            const std::string bytes = unbase64(fields[2]);
            boost::shared_ptr<Nuvaro::Data::RawData> raw(new Nuvaro::Data::RawData(bytes.data(), bytes.size()));
            FSSyncRecordPtr record(new FSSyncRecord());
            record->fromRawData(raw);
            record->setSyncFolderPath(fieldValue(fields[3]));
            record->setLocalParent(fieldValue(fields[4]));
            record->setLocalFullPath(fieldValue(fields[5]));
            held[fieldValue(fields[0])][fieldValue(fields[1])] = record;
        } catch (...) {
            return false;
        }
    }
    return true;
}

std::string HeldBackChanges::text(const std::map<std::string, Records>& held) {
    std::string out;
    for (const auto& folder : held) {
        for (const auto& entry : folder.second) {
            FSSyncRecord copy(*entry.second);
            out += fieldText(folder.first) + "\t" + fieldText(entry.first) + "\t" + base64(*copy.toRawData()) + "\t" +
                   fieldText(copy.getSyncFolderPath()) + "\t" + fieldText(copy.getLocalParent()) + "\t" +
                   fieldText(copy.getLocalFullPath()) + "\n";
        }
    }
    return out;
}

std::vector<std::string> HeldBackChanges::folders() {
    load();
    std::vector<std::string> names;
    for (const auto& folder : m_held)
        names.push_back(folder.first);
    return names;
}

HeldBackChanges::Records HeldBackChanges::of(const std::string& folder) {
    load();
    Records copies;
    const auto found = m_held.find(folder);
    if (found != m_held.end())
        for (const auto& entry : found->second)
            copies[entry.first] = FSSyncRecordPtr(new FSSyncRecord(*entry.second));
    return copies;
}

bool HeldBackChanges::meets(const std::string& localFullPath) {
    load();
    for (const auto& folder : m_held)
        for (const auto& entry : folder.second) {
            const std::string& held = entry.second->getLocalFullPath();
            if (!held.empty() && !localFullPath.empty() && (atOrBelow(localFullPath, held) || atOrBelow(held, localFullPath)))
                return true;
        }
    return false;
}

bool HeldBackChanges::replace(const std::string& folder, const Records& records) {
    load();
    std::map<std::string, Records> held = m_held;
    held.erase(folder);
    for (const auto& entry : records)
        held[folder][entry.first] = FSSyncRecordPtr(new FSSyncRecord(*entry.second));
    const std::string content = text(held);
    if (content == text(m_held))
        return true;
    std::string error;
    const bool written = held.empty() ? ::unlink(m_file.c_str()) == 0 || errno == ENOENT
                                      : Nuvaro::Util::replaceFile(m_file, content, error);
    if (!written) {
        syncLog().error("The server changes held back cannot be written to " + m_file + ": " +
                        (error.empty() ? std::string(std::strerror(errno)) : error));
        return false;
    }
    m_held.swap(held);
    return true;
}

} // namespace Sync
} // namespace Nuvaro
