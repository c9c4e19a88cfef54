#include "nuvarocbfs_XmlParser.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

namespace Nuvaro {

namespace {
const std::string META_ELEMENT = "meta";
}

RecordList copyRecordList(const RecordList& records) {
    RecordList copy;
    copy.reserve(records.size());
    for (const Record& map : records)
        copy.push_back(map ? Record(new std::map<std::string, std::string>(*map)) : Record());
    return copy;
}

RecordList copySettingsList(const RecordList& settings) {
    RecordList copy = copyRecordList(settings);
    if (copy.empty())
        copy.emplace_back();
    if (!copy[0])
        copy[0].reset(new std::map<std::string, std::string>());
    return copy;
}

NuvaroXmlHandler::NuvaroXmlHandler() = default;

NuvaroXmlHandler::NuvaroXmlHandler(const std::string& recordName) : m_recordName(recordName) {}

NuvaroXmlHandler::~NuvaroXmlHandler() = default;

void NuvaroXmlHandler::setRecordName(const std::string& name) { m_recordName = name; }

void NuvaroXmlHandler::setRecordSink(std::function<void(Record&)> sink) { m_sink = std::move(sink); }

RecordList NuvaroXmlHandler::getParsedData() const { return m_records; }

RecordList NuvaroXmlHandler::getMetaData() const { return m_metaRecords; }

void NuvaroXmlHandler::where(const std::string&) {}

void NuvaroXmlHandler::printParsedData() const {
    Poco::Logger& log = Poco::Logger::get("root");
    log.debug(" === META DATA  ===");
    for (const auto& rec : m_metaRecords) {
        for (const auto& kv : *rec) log.debug(kv.first + " : " + kv.second);
    }
    log.debug(" === RECORD DATA  ===");
    for (const auto& rec : m_records) {
        for (const auto& kv : *rec) log.debug(kv.first + " : " + kv.second);
        log.debug(" ********************************** ");
    }
}

void NuvaroXmlHandler::setDocumentLocator(const Poco::XML::Locator* loc) { m_locator = loc; }

void NuvaroXmlHandler::startDocument() {
    m_records.clear();
    m_metaRecords.clear();
    m_open.clear();
}


void NuvaroXmlHandler::startElement(const Poco::XML::XMLString&, const Poco::XML::XMLString& localName,
                                    const Poco::XML::XMLString&, const Poco::XML::Attributes&) {
    const bool isRecord = localName == m_recordName;
    if (isRecord || localName == META_ELEMENT) {
        m_currentRecord.reset(new std::map<std::string, std::string>());
        m_open.push_back({m_currentRecord, !isRecord});
        m_inRecord = true;
        return;
    }
    m_currentElement = localName;
    m_currentText.clear();
}

void NuvaroXmlHandler::endElement(const Poco::XML::XMLString&, const Poco::XML::XMLString& localName,
                                  const Poco::XML::XMLString&) {
    const bool isRecord = localName == m_recordName;
    if (isRecord || localName == META_ELEMENT) {
        // Close the innermost open record. The lists get each map once, and an
        // outer record resumes with the fields it had before the inner one.
        // With a sink, the record goes there instead of into the list.
        if (!m_open.empty()) {
            OpenRecord closed = m_open.back();
            m_open.pop_back();
            if (closed.meta)
                m_metaRecords.push_back(closed.record);
            else if (m_sink)
                m_sink(closed.record);
            else
                m_records.push_back(closed.record);
        }
        if (m_open.empty()) {
            m_inRecord = false;
            m_currentRecord.reset();
        } else {
            m_currentRecord = m_open.back().record;
        }
        return;
    }
    if (m_inRecord && m_currentRecord) {
        (*m_currentRecord)[m_currentElement] = m_currentText;
    }
}

void NuvaroXmlHandler::characters(const Poco::XML::XMLChar ch[], int start, int length) {
    m_currentText.append(ch + start, static_cast<std::size_t>(length));
}

void NuvaroXmlParser::parseWith(NuvaroXmlHandler& handler, std::istream& stream) {
    runSaxParse(handler, stream);
}

ParseResult NuvaroXmlParser::parse(const std::string& recordName, std::istream& stream) {
    NuvaroXmlHandler handler(recordName);
    ParseResult result;
    try {
        parseWith(handler, stream);
        result.ok = true;
    } catch (const Poco::Exception& e) {
        result.error = e.displayText();
    }
    result.records = handler.getParsedData();
    result.metaRecords = handler.getMetaData();
    return result;
}

RecordList NuvaroXmlParser::parseNuvaroXML(const std::string& recordName, std::istream& stream) {
    ParseResult result = parse(recordName, stream);
    if (!result.ok) {
        Poco::Logger::get("root").error("parseNuvaroXML : " + result.error);
    }
    return result.records;
}

} // namespace Nuvaro
