#pragma once

// Records of the server's XML replies and the SAX handler that reads them.
//
// A reply is a small XML document whose content is a run of flat records:
// elements of one agreed name ("command", "entry", "status", ...) whose child
// elements each carry one text value. Every such element becomes one Record,
// mapping each child's local name to its text. Elements named "meta" are
// collected separately as meta records whatever the record name.

#include "nuvarocbfs_SaxBase.h"

#include <Poco/SAX/Locator.h>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace Nuvaro {

// One parsed reply record, or one settings map. Copies share the map.
typedef boost::shared_ptr<std::map<std::string, std::string>> Record;
// Records in document order. Copying the list copies the pointers only.
typedef std::vector<Record> RecordList;

// A copy of the list with every map copied too (a null entry stays null), for
// an owner that reads its settings on other threads while the giver may
// change its own maps.
RecordList copyRecordList(const RecordList& records);
// The same for a settings list, whose element 0 every reader takes: an empty
// list, or one whose first map is null, gets an empty map there.
RecordList copySettingsList(const RecordList& settings);

// SAX handler that turns a reply into records. Belongs to one parse on one
// thread.
//
// Records are flat: each child element becomes one key holding its text; a
// child that repeats keeps its last text; whitespace between children never
// reaches a value. A nested child is stored under the innermost name, and the
// outer child's end then stores, under that same innermost name, the text
// gathered since the inner child started. Elements outside records count for
// nothing.
//
// A record (or meta) element that starts while another one is open begins a new
// map for the inner element. The outer record's fields read so far are kept:
// the inner record is appended when it ends, the outer one (with the fields it
// had and those that follow the inner record) when it ends. Nothing is appended
// twice.
//
// A document that breaks off leaves the records completed before the break in
// getParsedData(); succeeded() tells whether the whole document was read.
// Every other SAX event (document end, whitespace, DTD, CDATA and comment
// boundaries, ...) does nothing.
class NuvaroXmlHandler : public SaxHandlerBase {
public:
    NuvaroXmlHandler();
    explicit NuvaroXmlHandler(const std::string& recordName);
    ~NuvaroXmlHandler() override;

    void setRecordName(const std::string& name);
    // When set, each record (not a meta record) is handed to `sink` as its
    // element ends, in document order, instead of being kept for
    // getParsedData(): a long reply is then held one record at a time, and
    // the caller builds what it keeps as it goes. The map belongs to the
    // sink (the handler drops its own reference after the call). An empty
    // function keeps records again.
    void setRecordSink(std::function<void(Record&)> sink);
    // A copy of the completed records (the maps are shared, not copied).
    RecordList getParsedData() const;
    // A copy of the completed meta records.
    RecordList getMetaData() const;
    void where(const std::string& text);
    // Writes every meta record and record to the logger "root" at debug level.
    void printParsedData() const;

    void setDocumentLocator(const Poco::XML::Locator* loc) override;
    void startDocument() override;
    void startElement(const Poco::XML::XMLString& uri, const Poco::XML::XMLString& localName,
                      const Poco::XML::XMLString& qname, const Poco::XML::Attributes& attributes) override;
    void endElement(const Poco::XML::XMLString& uri, const Poco::XML::XMLString& localName,
                    const Poco::XML::XMLString& qname) override;
    void characters(const Poco::XML::XMLChar ch[], int start, int length) override;

private:
    struct OpenRecord {
        Record record;
        bool meta;
    };

    const Poco::XML::Locator* m_locator = nullptr;
    std::string m_recordName;
    RecordList m_records;
    std::function<void(Record&)> m_sink;
    RecordList m_metaRecords;
    Record m_currentRecord;
    bool m_inRecord = false;
    std::string m_currentElement;
    std::string m_currentText;
    // Record and meta elements that started and have not ended, outermost first.
    std::vector<OpenRecord> m_open;
};

// Outcome of a parse: the records read, and whether the whole document was
// well-formed. On failure `records` holds the records completed before the
// error and `error` the parser's display text.
struct ParseResult {
    RecordList records;
    RecordList metaRecords;
    bool ok = false;
    std::string error;
};

class NuvaroXmlParser {
public:
    // Parses the whole stream and returns its records (not the meta records).
    // Malformed or truncated XML is logged on "root" at error level as
    // "parseNuvaroXML : " + the error, and the records completed before it are
    // returned; nothing is thrown. An empty or non-XML body gives an empty list.
    static RecordList parseNuvaroXML(const std::string& recordName, std::istream& stream);

    // Like parseNuvaroXML, but tells the caller whether the document was read
    // whole, so that a cut-off reply can be treated as a failure. Logs nothing.
    static ParseResult parse(const std::string& recordName, std::istream& stream);

    // Parses with a handler the caller owns (record name already set), set up
    // with namespace processing and as lexical handler. Parser exceptions
    // (Poco::Exception) reach the caller.
    static void parseWith(NuvaroXmlHandler& handler, std::istream& stream);
};

} // namespace Nuvaro
