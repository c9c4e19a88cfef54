#include "FSSyncRecord.h"

#include "LogCapture.h"
#include "NuvaroException.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <map>
#include <string>
#include <vector>

using Nuvaro::Sync::FSSyncRecord;

namespace {

const char* const kId = "6ba7b810-9dad-11d1-80b4-00c04fd430c8";
const std::string kProfile = "acct1";
const std::string kNetwork = "Network Folders";
const std::string kTeam = "Team Folders";
const std::string kTeamAccount = "teamacct";

// 2017-05-16 12:34:56 UTC as a UTC time value.
Poco::Int64 utcValue(int y, int mo, int d, int h, int mi, int s) {
    return Poco::DateTime(y, mo, d, h, mi, s).timestamp().utcTime();
}

typedef std::map<std::string, std::string> Fields;

// A valid server record of a file in the user's own folder.
Fields fileFields() {
    return {{"id", kId},           {"updateversion", "1,205"}, {"updatepeer", "server"},
            {"createversion", "7"}, {"createpeer", "client9"}, {"isdeleted", "0"},
            {"type", "1"},          {"flags", ""},             {"name", "a.txt"},
            {"parent", "/acct1/docs"}, {"fullpath", "/acct1/docs/a.txt"}, {"size", "1234"},
            {"modified", "2017-05-16 12:34:56"}, {"attribs", "x,"},      {"friendly", "Ann"}};
}

// Fields to change (an empty-named value "-" removes the key).
struct ServerRecordCase {
    const char* name;
    Fields changes;
    bool ok;
    const char* parent;
    const char* localParent;
    const char* fullPath;
    const char* localFullPath;
    const char* logText;  // expected on "Sync" ("" for none)
};

void PrintTo(const ServerRecordCase& c, std::ostream* os) { *os << c.name; }

// Checks a reader's result against the case: the result, the log line, and
// for an accepted record its four paths and sync folder.
void expectOutcome(const ServerRecordCase& c, bool ok, const FSSyncRecord& r,
                   const CloudSyncTest::LogCapture& capture) {
    ASSERT_EQ(ok, c.ok) << capture.dump();
    if (*c.logText) {
        EXPECT_TRUE(capture.contains(c.logText, "Sync")) << capture.dump();
    }
    if (!c.ok)
        return;
    EXPECT_EQ(r.getParent(), c.parent);
    EXPECT_EQ(r.getLocalParent(), c.localParent);
    EXPECT_EQ(r.getFullPath(), c.fullPath);
    EXPECT_EQ(r.getLocalFullPath(), c.localFullPath);
    EXPECT_EQ(r.getSyncFolderPath(), "MyFolder");
}

Fields applied(const Fields& changes) {
    Fields fields = fileFields();
    for (const auto& change : changes) {
        if (change.second == "-")
            fields.erase(change.first);
        else
            fields[change.first] = change.second;
    }
    return fields;
}

const std::vector<ServerRecordCase> kSaxCases = {
    {"File", {}, true, "/acct1/docs", "My Files/docs", "/acct1/docs/a.txt", "My Files/docs/a.txt", ""},
    {"FolderWithoutDate",
     {{"type", "0"}, {"name", "docs"}, {"parent", "/acct1"}, {"fullpath", "/acct1/docs"}, {"modified", ""}},
     true, "/acct1", "My Files", "/acct1/docs", "My Files/docs", ""},
    {"SkipHasNoLocalPaths",
     {{"flags", "SKIP"}, {"parent", "/otheracct"}, {"fullpath", "/otheracct/x"}},
     true, "SKIP", "SKIP", "SKIP", "SKIP", ""},
    {"ParentIsServerRoot",
     {{"type", "0"}, {"name", "acct1"}, {"parent", "/"}, {"fullpath", "/acct1"}},
     true, "", "", "/acct1", "My Files", ""},
    {"SharedFile",
     {{"parent", "/SHARED/owner2"}, {"fullpath", "/SHARED/owner2/x.txt"}},
     true, "/SHARED/owner2", "Shared with Me/owner2", "/SHARED/owner2/x.txt", "Shared with Me/owner2/x.txt", ""},
    {"NetworkFolderFile",
     {{"parent", "/EXTERNAL/share1"}, {"fullpath", "/EXTERNAL/share1/f.txt"}},
     true, "/EXTERNAL/share1", "Network Folders/share1", "/EXTERNAL/share1/f.txt", "Network Folders/share1/f.txt",
     ""},
    {"EmptySize", {{"size", ""}}, false, "", "", "", "", "fromSAXRecord Bad size for ID 6ba7b810"},
    {"MissingSize", {{"size", "-"}}, false, "", "", "", "", "fromSAXRecord Bad size for ID "},
    {"PathOutsideTheRoots",
     {{"parent", "/otheracct"}, {"fullpath", "/otheracct/x"}},
     false, "", "", "", "", "fromSAXRecord Empty Local Full Path trying to translate: /otheracct/x with profile acct1"},
    {"DotDotInFullPath",
     {{"parent", "/acct1"}, {"fullpath", "/acct1/../../etc/passwd"}},
     false, "", "", "", "", "fromSAXRecord Empty Local Full Path trying to translate: /acct1/../../etc/passwd"},
    {"DotDotInParent",
     {{"parent", "/acct1/../../etc"}},
     false, "", "", "", "", "fromSAXRecord Empty Local Parent trying to translate: /acct1/../../etc"},
    {"ParentOutsideTheRoots", {{"parent", "/otheracct/docs"}}, false, "", "", "", "",
     "fromSAXRecord Empty Local Parent trying to translate: /otheracct/docs"},
    {"FileWithoutDate", {{"modified", ""}}, false, "", "", "", "", "fromSAXRecord Poco Exception caught : "},
    {"FileWithMalformedDate", {{"modified", "16/05/2017"}}, false, "", "", "", "",
     "fromSAXRecord Poco Exception caught : "},
    {"FileWithWordForDate", {{"modified", "yesterday"}}, false, "", "", "", "",
     "fromSAXRecord Poco Exception caught : "},
    {"FileWithDateAndZone", {{"modified", "2017-05-16 12:34:56 +0200"}}, false, "", "", "", "",
     "fromSAXRecord Poco Exception caught : "},
    {"BadUpdateVersion", {{"updateversion", "v2"}}, false, "", "", "", "",
     "fromSAXRecordBad Update Version for ID 6ba7b810-9dad-11d1-80b4-00c04fd430c8"},
    {"BadCreateVersion", {{"createversion", ""}}, false, "", "", "", "", "fromSAXRecordBad Create Version for ID "},
    {"BadIsDeleted", {{"isdeleted", "no"}}, false, "", "", "", "", "fromSAXRecordBad isDeleted for ID "},
    {"BadType", {{"type", "file"}}, false, "", "", "", "", "fromSAXRecordBad type for ID "},
    {"MalformedId", {{"id", "not-a-uuid"}}, false, "", "", "", "", "fromSAXRecord Poco Exception caught : "},
};

class SaxRecordTable : public ::testing::TestWithParam<ServerRecordCase> {};

TEST_P(SaxRecordTable, ReadsOrRefuses) {
    const ServerRecordCase& c = GetParam();
    CloudSyncTest::LogCapture capture({"Sync"});
    Nuvaro::Record record(new Fields(applied(c.changes)));
    FSSyncRecord r;

    bool ok = r.fromSAXRecord(kProfile, "MyFolder", record, kNetwork, kTeam, kTeamAccount);

    expectOutcome(c, ok, r, capture);
}

INSTANTIATE_TEST_SUITE_P(ServerRecords, SaxRecordTable, ::testing::ValuesIn(kSaxCases));

TEST(SaxRecord, FileRecordCarriesEveryField) {
    Nuvaro::Record record(new Fields(fileFields()));
    FSSyncRecord r;
    ASSERT_TRUE(r.fromSAXRecord(kProfile, "MyFolder", record, kNetwork, kTeam, kTeamAccount));

    EXPECT_EQ(r.getId().toString(), kId);
    EXPECT_EQ(r.getUpdatedVersion(), 1205);  // "," is a thousands separator
    EXPECT_EQ(r.getUpdatedPeer(), "server");
    EXPECT_EQ(r.getCreatedVersion(), 7);
    EXPECT_EQ(r.getCreatedPeer(), "client9");
    EXPECT_EQ(r.getIsDeleted(), 0);
    EXPECT_EQ(r.getType(), 1);
    EXPECT_EQ(r.getName(), "a.txt");
    EXPECT_EQ(r.getSize(), 1234);
    EXPECT_EQ(r.getModified(), utcValue(2017, 5, 16, 12, 34, 56));
    EXPECT_EQ(r.getAttribs(), "x,");
    EXPECT_EQ(r.getFriendlyName(), "Ann");
    EXPECT_EQ(r.getFileCRC(), "");
}

TEST(SaxRecord, MissingKeysReadAsEmptyAndAreAddedToTheMap) {
    Fields fields = fileFields();
    fields.erase("attribs");
    fields.erase("friendly");
    Nuvaro::Record record(new Fields(fields));
    FSSyncRecord r;
    ASSERT_TRUE(r.fromSAXRecord(kProfile, "MyFolder", record, kNetwork, kTeam, kTeamAccount));
    EXPECT_EQ(r.getAttribs(), "");
    EXPECT_EQ(record->count("attribs"), 1u);
    EXPECT_EQ(record->count("friendly"), 1u);
}

TEST(SaxRecord, FolderKeepsItsModifiedTime) {
    Nuvaro::Record record(new Fields(applied({{"type", "0"}, {"fullpath", "/acct1/docs"}, {"parent", "/acct1"},
                                               {"modified", "2020-01-01 00:00:00"}})));
    FSSyncRecord r;
    r.setModified(42);
    ASSERT_TRUE(r.fromSAXRecord(kProfile, "MyFolder", record, kNetwork, kTeam, kTeamAccount));
    EXPECT_EQ(r.getModified(), 42);
}

// The root names come from the server's status reply: a team root of
// "../../.ssh" must not turn "/SHARED/teamacct/authorized_keys" into a path
// outside the sync folder.
TEST(SaxRecord, RootNameThatIsNotOneComponentRefusesTheRecord) {
    for (const std::string bad : {"../../.ssh", "/etc", "", ".."}) {
        SCOPED_TRACE(bad);
        CloudSyncTest::LogCapture capture({"Sync"});
        Nuvaro::Record team(new Fields(applied(
            {{"parent", "/SHARED/teamacct"}, {"fullpath", "/SHARED/teamacct/authorized_keys"}})));
        FSSyncRecord r;
        EXPECT_FALSE(r.fromSAXRecord(kProfile, "MyFolder", team, kNetwork, bad, kTeamAccount));
        EXPECT_TRUE(capture.contains("fromSAXRecord Empty Local Full Path trying to translate: "
                                     "/SHARED/teamacct/authorized_keys",
                                     "Sync"))
            << capture.dump();

        Nuvaro::Record network(
            new Fields(applied({{"parent", "/EXTERNAL/share1"}, {"fullpath", "/EXTERNAL/share1/f.txt"}})));
        EXPECT_FALSE(r.fromSAXRecord(kProfile, "MyFolder", network, bad, kTeam, kTeamAccount));
    }
}

TEST(SaxRecord, NullRecordIsRefused) {
    CloudSyncTest::LogCapture capture({"Sync"});
    Nuvaro::Record none;
    FSSyncRecord r;
    EXPECT_FALSE(r.fromSAXRecord(kProfile, "MyFolder", none, kNetwork, kTeam, kTeamAccount));
    EXPECT_TRUE(capture.contains("fromSAXRecord", "Sync"));
}

// ---- fromXMLRecord ----

std::string xmlOf(const Fields& fields) {
    std::string xml = "<record>";
    for (const auto& f : fields)
        xml += "<" + f.first + ">" + f.second + "</" + f.first + ">";
    return xml + "</record>";
}

struct XmlOutcome {
    bool ok;
    FSSyncRecord record;
};

XmlOutcome readXml(const Fields& fields) {
    TiXmlDocument doc;
    doc.Parse(xmlOf(fields).c_str());
    XmlOutcome out;
    out.ok = out.record.fromXMLRecord(kProfile, "MyFolder", doc.RootElement(), kNetwork, kTeam, kTeamAccount);
    return out;
}

const std::vector<ServerRecordCase> kXmlCases = {
    {"File", {}, true, "/acct1/docs", "My Files/docs", "/acct1/docs/a.txt", "My Files/docs/a.txt", ""},
    {"FolderWithoutDate",
     {{"type", "0"}, {"parent", "/acct1"}, {"fullpath", "/acct1/docs"}, {"modified", "-"}},
     true, "/acct1", "My Files", "/acct1/docs", "My Files/docs", ""},
    {"SkipIsTranslatedLikeAnyRecord", {{"flags", "SKIP"}}, true, "/acct1/docs", "My Files/docs",
     "/acct1/docs/a.txt", "My Files/docs/a.txt", ""},
    {"ParentIsServerRoot", {{"type", "0"}, {"parent", "/"}, {"fullpath", "/acct1"}}, true, "", "", "/acct1",
     "My Files", ""},
    {"NoParent", {{"parent", "-"}}, true, "", "", "/acct1/docs/a.txt", "My Files/docs/a.txt", ""},
    {"NetworkFolderGetsNoLocalPath", {{"parent", "/EXTERNAL/s"}, {"fullpath", "/EXTERNAL/s/f.txt"}}, true,
     "/EXTERNAL/s", "", "/EXTERNAL/s/f.txt", "", ""},
    {"PathOutsideTheRootsGetsNoLocalPath", {{"parent", "/otheracct"}, {"fullpath", "/otheracct/x"}}, true,
     "/otheracct", "", "/otheracct/x", "", ""},
    {"DotDotGetsNoLocalPath", {{"fullpath", "/acct1/../../etc/passwd"}}, true, "/acct1/docs", "My Files/docs",
     "/acct1/../../etc/passwd", "", ""},
    {"BadSize", {{"size", "big"}}, false, "", "", "", "", "fromXMLRecordBad size for ID 6ba7b810"},
    {"EmptySize", {{"size", ""}}, true, "/acct1/docs", "My Files/docs", "/acct1/docs/a.txt", "My Files/docs/a.txt",
     ""},
    {"MissingId", {{"id", "-"}}, false, "", "", "", "", "fromXMLRecordBad ID"},
    {"MissingUpdatePeer", {{"updatepeer", "-"}}, false, "", "", "", "", "fromXMLRecordBad Update Peer for ID "},
    {"EmptyCreatePeer", {{"createpeer", ""}}, false, "", "", "", "", "fromXMLRecordBad Create Peer for ID "},
    {"BadCreateVersion", {{"createversion", "x"}}, false, "", "", "", "", "fromXMLRecordBad Create Version for ID "},
    {"MissingName", {{"name", "-"}}, false, "", "", "", "", "fromXMLRecordBad name for ID "},
    {"MissingFullPath", {{"fullpath", "-"}}, false, "", "", "", "", "fromXMLRecordBad fullpath for ID "},
};

class XmlRecordTable : public ::testing::TestWithParam<ServerRecordCase> {};

TEST_P(XmlRecordTable, ReadsOrRefuses) {
    const ServerRecordCase& c = GetParam();
    CloudSyncTest::LogCapture capture({"Sync"});
    XmlOutcome out = readXml(applied(c.changes));

    expectOutcome(c, out.ok, out.record, capture);
}

INSTANTIATE_TEST_SUITE_P(ServerRecords, XmlRecordTable, ::testing::ValuesIn(kXmlCases));

TEST(XmlRecord, ReadsModifiedForFoldersToo) {
    XmlOutcome out = readXml(applied({{"type", "0"}, {"modified", "2020-02-29 23:59:59"}}));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.record.getModified(), utcValue(2020, 2, 29, 23, 59, 59));
    EXPECT_EQ(out.record.getUpdatedVersion(), 1205);
    EXPECT_EQ(out.record.getAttribs(), "x,");
}

TEST(XmlRecord, MalformedDateOrIdThrowsToTheCaller) {
    EXPECT_THROW(readXml(applied({{"modified", "yesterday"}})), Poco::Exception);
    EXPECT_THROW(readXml(applied({{"id", "zzz"}})), Poco::Exception);
}

// ---- stored forms ----

FSSyncRecord fullRecord() {
    Nuvaro::DataSync::DataSyncRecord base(Poco::UUID(kId), 12, "server", 3, "client9", 1);
    return FSSyncRecord(base, 1, "it's.txt", "/acct1/docs", "/acct1/docs/it's.txt", 5000000000LL,
                        utcValue(2017, 5, 16, 12, 34, 56), "x,", "", "Ann", "MyFolder", "My Files/docs",
                        "My Files/docs/it's.txt", "crc-1", "2017-05-16 12:34:56");
}

void expectSameStoredFields(const FSSyncRecord& a, const FSSyncRecord& b) {
    EXPECT_EQ(a.getId(), b.getId());
    EXPECT_EQ(a.getUpdatedVersion(), b.getUpdatedVersion());
    EXPECT_EQ(a.getUpdatedPeer(), b.getUpdatedPeer());
    EXPECT_EQ(a.getCreatedVersion(), b.getCreatedVersion());
    EXPECT_EQ(a.getCreatedPeer(), b.getCreatedPeer());
    EXPECT_EQ(a.getIsDeleted(), b.getIsDeleted());
    EXPECT_EQ(a.getType(), b.getType());
    EXPECT_EQ(a.getName(), b.getName());
    EXPECT_EQ(a.getParent(), b.getParent());
    EXPECT_EQ(a.getFullPath(), b.getFullPath());
    EXPECT_EQ(a.getSize(), b.getSize());
    EXPECT_EQ(a.getModified(), b.getModified());
    EXPECT_EQ(a.getAttribs(), b.getAttribs());
    EXPECT_EQ(a.getFlags(), b.getFlags());
    EXPECT_EQ(a.getFriendlyName(), b.getFriendlyName());
}

TEST(StoredForms, RawRoundTripCarriesBaseAndNineFieldsOnly) {
    FSSyncRecord original = fullRecord();
    boost::shared_ptr<Nuvaro::Data::RawData> raw = original.toRawData();
    ASSERT_TRUE(raw);

    FSSyncRecord fresh;
    fresh.fromRawData(raw);
    expectSameStoredFields(fresh, original);
    EXPECT_EQ(fresh.getSyncFolderPath(), "");
    EXPECT_EQ(fresh.getLocalFullPath(), "");
    EXPECT_EQ(fresh.getLocalParent(), "");
    EXPECT_EQ(fresh.getFileCRC(), "");
    EXPECT_EQ(fresh.getFileModTime(), "");
}

TEST(StoredForms, RawReadKeepsTheLocalFieldsOfTheTarget) {
    FSSyncRecord original = fullRecord();
    boost::shared_ptr<Nuvaro::Data::RawData> raw = original.toRawData();
    FSSyncRecord target;
    target.setLocalFullPath("My Files/kept");
    target.setFileCRC("kept-crc");
    target.fromRawData(raw);
    EXPECT_EQ(target.getLocalFullPath(), "My Files/kept");
    EXPECT_EQ(target.getFileCRC(), "kept-crc");
}

TEST(StoredForms, VariantRowHoldsTheNamedFields) {
    FSSyncRecord original = fullRecord();
    Nuvaro::Data::VariantRow row = original.saveFSRecord();
    for (const char* name : {"FSTYPE", "FSNAME", "FSPARENT", "FSFULLPATH", "FSSIZE", "FSMODIFIED", "FSATTRIBS",
                             "FSFLAGS", "FSFRIENDLY"})
        EXPECT_TRUE(row.hasField(name)) << name;
    EXPECT_EQ(row["FSSIZE"].getInt64(), 5000000000LL);
    EXPECT_FALSE(row.hasField("LOCALFULLPATH"));

    FSSyncRecord loaded;
    loaded.loadFSRecord(row);
    expectSameStoredFields(loaded, original);
}

// Callers of fromRawData catch the base layer's exception; anything else
// thrown from damaged stored data would end the program.
TEST(StoredForms, MalformedStoredIdentityThrowsOnlyTheBaseLayersException) {
    for (const std::string id : {"not-a-uuid", "6ba7b810-9dad-11d1-80b4", "6ba7b810-9dad-11d1-80b4-00c04fd430cZ"}) {
        SCOPED_TRACE(id);
        Nuvaro::Data::VariantRow row = fullRecord().saveFSRecord();
        row["DSID"] = id;
        boost::shared_ptr<Nuvaro::Data::RawData> raw(new Nuvaro::Data::RawData(row.getSize()));
        row.write(*raw);
        FSSyncRecord target;
        EXPECT_THROW(target.fromRawData(raw), Nuvaro::Exception);
        EXPECT_THROW(target.loadFSRecord(row), Nuvaro::Exception);
    }
    boost::shared_ptr<Nuvaro::Data::RawData> garbage(new Nuvaro::Data::RawData("NVR1\x01\0\0\0", 8));
    FSSyncRecord target;
    EXPECT_THROW(target.fromRawData(garbage), Nuvaro::Exception);
}

TEST(StoredForms, DefaultAndCopy) {
    FSSyncRecord empty;
    EXPECT_EQ(empty.getType(), -1);
    EXPECT_EQ(empty.getSize(), 0);
    EXPECT_EQ(empty.getModified(), 0);

    FSSyncRecord original = fullRecord();
    FSSyncRecord copy(original);
    expectSameStoredFields(copy, original);
    EXPECT_EQ(copy.getLocalFullPath(), original.getLocalFullPath());
    EXPECT_EQ(copy.getFileModTime(), original.getFileModTime());
    copy.setIsDeleted(false);
    EXPECT_EQ(copy.getIsDeleted(), 0);
    EXPECT_EQ(original.getIsDeleted(), 1);
}

} // namespace
