// Fuzz target: the XML reply parser, on what a hostile or broken server can
// send as a reply body. The first byte picks the record name, the rest is the
// body. Both parse entry points must return (never throw), agree with each
// other, and hand back only records that exist.

#include "nuvarocbfs_XmlParser.h"

#include <Poco/Logger.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Poco::Logger::setLevel("", 0);  // no log output while fuzzing
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kRecordNames[] = {"command", "entry", "status", "record",
                                               "meta",    "syncfolder", "rmc_command", "share"};
    if (size == 0) return 0;
    const std::string recordName = kRecordNames[data[0] % 8];
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

    std::istringstream first(body);
    const Nuvaro::ParseResult result = Nuvaro::NuvaroXmlParser::parse(recordName, first);
    std::istringstream second(body);
    const Nuvaro::RecordList records = Nuvaro::NuvaroXmlParser::parseNuvaroXML(recordName, second);

    if (records.size() != result.records.size()) std::abort();
    for (const Nuvaro::Record& record : result.records)
        if (!record) std::abort();
    for (const Nuvaro::Record& record : result.metaRecords)
        if (!record) std::abort();
    if (result.ok && !result.error.empty()) std::abort();
    return 0;
}
