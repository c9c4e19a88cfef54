// The folder listing against the test server: entries and meta records,
// compressed replies, and the failures that must never read as an empty
// folder.

#include "CommandTestFixture.h"

#include <Poco/DeflatingStream.h>

#include <sstream>

namespace CommandTests {
namespace {

using Nuvaro::Record;
using Nuvaro::RecordList;

std::string valueOf(const Record& record, const std::string& key) {
    auto it = record->find(key);
    return it == record->end() ? std::string() : it->second;
}

std::string gzipped(const std::string& text) {
    std::ostringstream packed;
    Poco::DeflatingOutputStream deflater(packed, Poco::DeflatingStreamBuf::STREAM_GZIP);
    deflater << text;
    deflater.close();
    return packed.str();
}

Record marker() { return Record(new std::map<std::string, std::string>{{"name", "kept"}}); }

const std::string ENTRY = "<path>/user1/docs/a.txt</path><name>a.txt</name><type>file</type>";
const std::string LISTING = "<?xml version=\"1.0\"?><entries><meta><total>1</total></meta><entry>" + ENTRY +
                            "</entry></entries>";

class ListingTest : public CommandTest {
protected:
    bool list(const std::string& path) {
        entries = {marker()};
        meta = {marker()};
        error.clear();
        return client->getFileList(path, entries, meta, error, 0, false);
    }
    RecordList entries;
    RecordList meta;
    std::string error;
};

TEST_F(ListingTest, ListsEntriesAndMetaRecords) {
    server.makeFolder(USER, "/user1/docs/sub");
    CloudSyncTest::LogCapture log;
    ASSERT_TRUE(list("/user1/docs")) << error;
    EXPECT_EQ(error, "");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(valueOf(entries[0], "name"), "a.txt");
    EXPECT_EQ(valueOf(entries[0], "path"), "/user1/docs/a.txt");
    EXPECT_EQ(valueOf(entries[0], "fullsize"), "5");
    EXPECT_EQ(valueOf(entries[1], "name"), "sub");
    EXPECT_EQ(valueOf(entries[1], "type"), "dir");
    ASSERT_EQ(meta.size(), 1u);
    EXPECT_EQ(valueOf(meta[0], "total"), "2");
    EXPECT_TRUE(log.contains("getFileList : [/user1/docs] : 2 records received ")) << log.dump();
    EXPECT_TRUE(log.contains("getFileList : [/user1/docs] :  Elapsed time = ")) << log.dump();
    EXPECT_EQ(client->getLastError(), "");
}

TEST_F(ListingTest, EmptyFolderIsAnEmptyListing) {
    server.makeFolder(USER, "/user1/empty");
    CloudSyncTest::LogCapture log;
    ASSERT_TRUE(list("/user1/empty")) << error;
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(meta.size(), 1u);
    EXPECT_TRUE(log.contains("getFileList : [/user1/empty] : 0 records received "));
}

TEST_F(ListingTest, RawListingIsTheInflatedReply) {
    std::string xml;
    ASSERT_TRUE(client->getFileListStr("/user1/docs", xml, error, 0, false)) << error;
    EXPECT_THAT(xml, ::testing::HasSubstr("<name>a.txt</name>"));

    inject(TS::TestFault::withStatus("/core/getfilelist", 500, "<html>Internal error</html>"));
    xml = "kept";
    EXPECT_FALSE(client->getFileListStr("/user1/docs", xml, error, 0, false));
    EXPECT_EQ(xml, "kept");
    EXPECT_THAT(error, ::testing::StartsWith("Failed getFileList: "));
}

// Whatever failed, the caller gets false, a reason, and its lists untouched:
// the jobs delete local files that an empty listing says are gone.
TEST_F(ListingTest, ListingReplyVariants) {
    ReplyBodies bodies = recordBodies("entry", ENTRY);
    bodies.success = LISTING;
    const std::vector<RecordsRow> rows = {
        {Variant::Success, true, 1, ""},
        {Variant::Refusal, false, 1, "Failed getFileList: Permission denied"},
        {Variant::ZeroRecords, true, 0, ""},
        {Variant::TwoRecords, true, 2, ""},
        {Variant::NotXml, false, 1, "Failed getFileList: *"},
        {Variant::ErrorStatus, false, 1, "Failed getFileList: HTTP 500*"},
        {Variant::Dropped, false, 1, "Failed getFileList: *"},
    };
    for (const RecordsRow& row : rows) {
        SCOPED_TRACE(variantName(row.variant));
        inject(faultFor(row.variant, "/core/getfilelist", bodies));
        EXPECT_EQ(list("/user1/docs"), row.ok);
        EXPECT_EQ(entries.size(), row.count);
        if (!row.ok) {
            EXPECT_EQ(valueOf(entries[0], "name"), "kept");
            EXPECT_EQ(valueOf(meta[0], "name"), "kept");
        }
        expectText(error, row.error);
        EXPECT_EQ(client->getLastError(), "") << "the listing reports through its own error text";
    }
}

TEST_F(ListingTest, ReplyCutShortIsAFailure) {
    // Cut after the last entry: what arrived would parse as a shorter listing
    // if the missing bytes were not noticed.
    const std::string padded = LISTING + std::string(200, ' ');
    TS::TestFault plainCut = TS::TestFault::withBody("/core/getfilelist", padded);
    plainCut.truncateBodyAt = static_cast<Poco::Int64>(LISTING.size());
    TS::TestFault compressedCut = TS::TestFault::truncatedBody("/core/getfilelist", 60);
    TS::TestFault chunkedCut = TS::TestFault::withBody("/core/getfilelist", padded);
    chunkedCut.chunkedCutAt = static_cast<Poco::Int64>(LISTING.size());
    const std::vector<std::tuple<std::string, TS::TestFault, std::string>> cuts = {
        {"chunked body without its last chunk", chunkedCut,
         "Failed getFileList: Malformed message: Incomplete reply: the connection ended before the last chunk"},
        {"plain body shorter than its length", plainCut, "Failed getFileList: Malformed message: Incomplete reply*"},
        {"compressed body shorter than its length", compressedCut, "Failed getFileList: Malformed message: Incomplete reply*"},
        {"connection closed inside the head", TS::TestFault::dropAfter("/core/getfilelist", 20),
         "Failed getFileList: *"},
    };
    for (const auto& [name, fault, expected] : cuts) {
        SCOPED_TRACE(name);
        inject(fault);
        EXPECT_FALSE(list("/user1/docs"));
        expectText(error, expected);
        EXPECT_EQ(valueOf(entries[0], "name"), "kept");
    }
}

TEST_F(ListingTest, ErrorPageIsAFailureWithItsStatus) {
    inject(TS::TestFault::withStatus("/core/getfilelist", 500, "<html><body>Internal Server Error</body>"));
    CloudSyncTest::LogCapture log;
    EXPECT_FALSE(list("/user1/docs"));
    EXPECT_EQ(error, "Failed getFileList: HTTP 500 Internal Server Error");
    EXPECT_TRUE(log.contains("getFileList : Request refused by server: HTTP 500")) << log.dump();
}

// A 2xx reply that is not XML fails at the parser, whose text is logged
// right after the operation's name.
TEST_F(ListingTest, NonXmlReplyFailsWithTheParserText) {
    TS::TestFault page = TS::TestFault::withBody("/core/getfilelist", NOT_XML_BODY);
    page.contentType = "text/html";
    inject(page);
    CloudSyncTest::LogCapture log;
    EXPECT_FALSE(list("/user1/docs"));
    const std::string parserText = error.substr(std::string("Failed getFileList: ").size());
    EXPECT_TRUE(log.contains("getFileList" + parserText)) << log.dump();
}

TEST_F(ListingTest, RefusalForAnExpiredSessionIsAFailure) {
    server.dropSessions(USER);
    EXPECT_FALSE(list("/user1/docs"));
    EXPECT_EQ(error, "Failed getFileList: Authentication Failed");
}

// Only a reply whose Content-Encoding is exactly "gzip" is inflated.
TEST_F(ListingTest, GzipIsAppliedOnlyWhenTheReplySaysExactlyGzip) {
    struct Case {
        std::string name;
        std::string contentEncoding; // "" : no header
        std::string body;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"gzip, compressed", "gzip", gzipped(LISTING), true},
        {"no header, plain", "", LISTING, true},
        {"GZIP in capitals, compressed", "GZIP", gzipped(LISTING), false},
        {"deflate, compressed", "deflate", gzipped(LISTING), false},
        {"deflate, plain", "deflate", LISTING, true},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        TS::TestFault fault = TS::TestFault::withBody("/core/getfilelist", item.body);
        if (!item.contentEncoding.empty()) fault.headers.emplace_back("Content-Encoding", item.contentEncoding);
        inject(fault);
        EXPECT_EQ(list("/user1/docs"), item.ok) << error;
        if (item.ok) {
            EXPECT_EQ(entries.size(), 1u);
        }
    }
}

} // namespace
} // namespace CommandTests
