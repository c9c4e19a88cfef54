#include "nuvarocbfs_XmlParser.h"

#include "LogCapture.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <sstream>

using namespace Nuvaro;

namespace {

ParseResult parseText(const std::string& recordName, const std::string& xml) {
    std::istringstream in(xml);
    return NuvaroXmlParser::parse(recordName, in);
}

std::map<std::string, std::string> M(std::initializer_list<std::pair<const std::string, std::string>> l) {
    return std::map<std::string, std::string>(l);
}

} // namespace

struct ReplyCase {
    const char* name;
    const char* recordName;
    const char* xml;
    bool ok;
    std::vector<std::map<std::string, std::string>> records;
    std::vector<std::map<std::string, std::string>> meta;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ReplyTable : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTable, ParsesAsExpected) {
    const ReplyCase& c = GetParam();
    ParseResult r = parseText(c.recordName, c.xml);
    EXPECT_EQ(r.ok, c.ok) << r.error;
    ASSERT_EQ(r.records.size(), c.records.size());
    for (std::size_t i = 0; i < c.records.size(); ++i) EXPECT_EQ(*r.records[i], c.records[i]) << "record " << i;
    ASSERT_EQ(r.metaRecords.size(), c.meta.size());
    for (std::size_t i = 0; i < c.meta.size(); ++i) EXPECT_EQ(*r.metaRecords[i], c.meta[i]) << "meta " << i;
}

// A sink gets the same records in the same order, as each one ends, and the
// handler keeps none of them; meta records are still kept.
TEST_P(ReplyTable, SinkGetsEachRecordAsItEnds) {
    const ReplyCase& c = GetParam();
    NuvaroXmlHandler handler(c.recordName);
    std::vector<std::map<std::string, std::string>> sunk;
    handler.setRecordSink([&](Record& record) { sunk.push_back(*record); });
    std::istringstream in(c.xml);
    bool ok = true;
    try {
        NuvaroXmlParser::parseWith(handler, in);
    } catch (const Poco::Exception&) {
        ok = false;
    }
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(sunk, c.records);
    EXPECT_TRUE(handler.getParsedData().empty());
    ASSERT_EQ(handler.getMetaData().size(), c.meta.size());
    for (std::size_t i = 0; i < c.meta.size(); ++i) EXPECT_EQ(*handler.getMetaData()[i], c.meta[i]) << "meta " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTable,
    ::testing::Values(
        ReplyCase{"TwoCommandsInOrder", "command",
                  "<commands><command><type>x</type><result>1</result><message>one</message></command>"
                  "<command><result>0</result><message>two</message></command></commands>",
                  true,
                  {M({{"type", "x"}, {"result", "1"}, {"message", "one"}}), M({{"result", "0"}, {"message", "two"}})},
                  {}},
        ReplyCase{"RepeatedChildKeepsLast", "command",
                  "<r><command><result>1</result><result>2</result></command></r>", true, {M({{"result", "2"}})}, {}},
        ReplyCase{"AttributesOnlyGiveEmptyMap", "entry", "<r><entry a=\"1\" b=\"2\"/></r>", true, {M({})}, {}},
        ReplyCase{"MetaCollectedApart", "entry",
                  "<list><meta><total>2</total></meta>\n  <entry>\n    <name>a</name>\n  </entry>\n"
                  "  <entry><name>b</name><size></size></entry></list>",
                  true, {M({{"name", "a"}}), M({{"name", "b"}, {"size", ""}})}, {M({{"total", "2"}})}},
        ReplyCase{"NamespacePrefixMatchesByLocalName", "entry",
                  "<x:list xmlns:x=\"urn:t\"><x:entry><x:name>n</x:name></x:entry></x:list>", true,
                  {M({{"name", "n"}})}, {}},
        ReplyCase{"EntitiesAndCdataJoined", "entry",
                  "<l><entry><name>a&amp;b &lt;c&gt; &#233;</name><p><![CDATA[x<y]]>z</p></entry></l>", true,
                  {M({{"name", "a&b <c> \xC3\xA9"}, {"p", "x<yz"}})}, {}},
        ReplyCase{"RecordNameIsCaseSensitive", "entry", "<l><Entry><name>n</name></Entry></l>", true, {}, {}},
        ReplyCase{"ElementsOutsideRecordsIgnored", "status",
                  "<r><version>9</version><status><OS>NUVARO_CLOUD</OS></status><tail>t</tail></r>", true,
                  {M({{"OS", "NUVARO_CLOUD"}})}, {}},
        ReplyCase{"NestedChildStoredUnderInnermostName", "entry",
                  "<l><entry><outer><inner>in</inner>after</outer></entry></l>", true, {M({{"inner", "inafter"}})},
                  {}},
        ReplyCase{"NestedRecordKeepsOuterIntact", "entry",
                  "<l><entry><name>outer</name><entry><name>inner</name></entry><size>5</size></entry></l>", true,
                  {M({{"name", "inner"}}), M({{"name", "outer"}, {"size", "5"}})}, {}},
        ReplyCase{"TruncatedInThirdRecordKeepsFirstTwo", "entry",
                  "<l><entry><name>1</name></entry><entry><name>2</name></entry><entry><name>3", false,
                  {M({{"name", "1"}}), M({{"name", "2"}})}, {}},
        ReplyCase{"NotXml", "command", "<html><body>500 Internal Server Error<br></body></html>", false, {}, {}},
        ReplyCase{"PlainText", "command", "Service Unavailable", false, {}, {}},
        ReplyCase{"EmptyBody", "command", "", false, {}, {}}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(XmlParser, ParseNuvaroXmlReturnsRecordsSoFarAndLogsTheError) {
    CloudSyncTest::LogCapture capture;
    std::istringstream in("<l><entry><name>1</name></entry><entry><name>2</na");
    RecordList records = NuvaroXmlParser::parseNuvaroXML("entry", in);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ((*records[0])["name"], "1");
    EXPECT_TRUE(capture.contains("parseNuvaroXML : ", "root")) << capture.dump();
}

TEST(XmlParser, ParseNuvaroXmlDoesNotReturnMetaRecords) {
    std::istringstream in("<l><meta><n>1</n></meta></l>");
    EXPECT_TRUE(NuvaroXmlParser::parseNuvaroXML("entry", in).empty());
}

TEST(XmlParser, HandlerReusedForASecondDocumentStartsEmpty) {
    NuvaroXmlHandler handler("command");
    std::istringstream first("<r><command><result>1</result></command></r>");
    NuvaroXmlParser::parseWith(handler, first);
    ASSERT_EQ(handler.getParsedData().size(), 1u);
    std::istringstream second("<r><meta><a>b</a></meta></r>");
    NuvaroXmlParser::parseWith(handler, second);
    EXPECT_TRUE(handler.getParsedData().empty());
    EXPECT_EQ(handler.getMetaData().size(), 1u);
}

TEST(XmlParser, PrintParsedDataWritesTheBanners) {
    NuvaroXmlHandler handler("command");
    std::istringstream in("<r><meta><m>1</m></meta><command><result>1</result></command></r>");
    NuvaroXmlParser::parseWith(handler, in);
    CloudSyncTest::LogCapture capture;
    handler.printParsedData();
    EXPECT_TRUE(capture.contains(" === META DATA  ==="));
    EXPECT_TRUE(capture.contains("m : 1"));
    EXPECT_TRUE(capture.contains(" === RECORD DATA  ==="));
    EXPECT_TRUE(capture.contains("result : 1"));
    EXPECT_TRUE(capture.contains(" ********************************** "));
}
