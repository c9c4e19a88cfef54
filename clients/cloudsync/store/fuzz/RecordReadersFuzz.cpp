// Fuzz target: the readers of sync records from outside data. The first byte
// picks the reader; then come the account, network root, team root and team
// account on four lines, then the reader's input:
//   0  fromSAXRecord: "key=value" lines (a server sync record);
//   1  fromXMLRecord: an XML element (a server record read as a document);
//   2  fromRawData: the raw bytes of a stored record.
// Each reader may throw only what it documents (fromSAXRecord nothing,
// fromXMLRecord Poco::Exception, fromRawData Nuvaro::Exception), and a record
// that was accepted names only sound local paths: never a leading "/", a ".",
// ".." or empty component, or a NUL byte.

#include "FSSyncRecord.h"
#include "NuvaroException.h"
#include "SoundPath.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <tinyxml.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

using Nuvaro::Sync::FSSyncRecord;

namespace {

void expectSoundOrEmpty(const std::string& localPath) {
    if (!localPath.empty() && !StoreFuzz::isSoundLocalPath(localPath)) std::abort();
}

Nuvaro::Record recordOf(const std::string& lines) {
    Nuvaro::Record record(new std::map<std::string, std::string>);
    for (std::string::size_type start = 0; start <= lines.size();) {
        std::string::size_type end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(start, end - start);
        const std::string::size_type equals = line.find('=');
        if (equals != std::string::npos) (*record)[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return record;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Poco::Logger::setLevel("", 0);  // no log output while fuzzing
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto fields = StoreFuzz::leadingLines(std::string(reinterpret_cast<const char*>(data + 1), size - 1), 4);
    const std::string& profile = fields[0];
    const std::string& network = fields[1];
    const std::string& team = fields[2];
    const std::string& teamAccount = fields[3];
    const std::string& input = fields[4];
    FSSyncRecord record;

    switch (data[0] % 3) {
    case 0: {
        Nuvaro::Record server = recordOf(input);
        if (!record.fromSAXRecord(profile, "folder", server, network, team, teamAccount)) return 0;
        if (record.getFlags() == "SKIP") {
            if (record.getLocalFullPath() != "SKIP" || record.getLocalParent() != "SKIP") std::abort();
            return 0;
        }
        if (!StoreFuzz::isSoundLocalPath(record.getLocalFullPath())) std::abort();
        expectSoundOrEmpty(record.getLocalParent());
        return 0;
    }
    case 1: {
        TiXmlDocument document;
        document.Parse(input.c_str());
        try {
            if (!record.fromXMLRecord(profile, "folder", document.RootElement(), network, team, teamAccount))
                return 0;
        } catch (const Poco::Exception&) {
            return 0;  // a malformed "id" or "modified", as documented
        }
        expectSoundOrEmpty(record.getLocalFullPath());
        expectSoundOrEmpty(record.getLocalParent());
        return 0;
    }
    default: {
        boost::shared_ptr<Nuvaro::Data::RawData> raw(new Nuvaro::Data::RawData(input.data(), input.size()));
        try {
            record.fromRawData(raw);
        } catch (const Nuvaro::Exception&) {
        }
        return 0;
    }
    }
}
