#include "AttributeManager.h"

#include "NuvaroUtil.h"
#include "TempFolder.h"

#include "LogCapture.h"

#include <Poco/DateTime.h>
#include <Poco/File.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sys/stat.h>

using Nuvaro::Sync::AttributeManager;

namespace {

const Poco::Int64 kSecond = 10000000;

Poco::Int64 utcValue(int y, int mo, int d, int h, int mi, int s) {
    return Poco::DateTime(y, mo, d, h, mi, s).timestamp().utcTime();
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(Attributes, OnlyTheExecutableBitIsCarried) {
    CloudSyncTest::TempFolder tmp;
    std::string script = tmp.write("run.sh", "#!/bin/sh\n");
    std::string text = tmp.write("notes.txt", "n");
    ::chmod(script.c_str(), 0755);
    ::chmod(text.c_str(), 0644);
    Poco::File scriptFile(script), textFile(text), folder(tmp.path());

    EXPECT_EQ(AttributeManager::getAttributes(scriptFile), "x,");
    EXPECT_EQ(AttributeManager::getAttributes(textFile), "");
    EXPECT_EQ(AttributeManager::getAttributes(folder), "x,");  // folders are searchable

    AttributeManager::setAttributes("r,x,", textFile);
    EXPECT_EQ(modeOf(text), 0755u);
    AttributeManager::setAttributes("", scriptFile);  // never clears the bit
    EXPECT_EQ(modeOf(script), 0755u);

    Poco::File missing(tmp / "missing");
    EXPECT_NO_THROW(AttributeManager::setAttributes("x,", missing));
}

TEST(Attributes, SetLastModifiedSetsAndTracesTheTime) {
    CloudSyncTest::TempFolder tmp;
    std::string file = tmp.write("a.txt", "a");
    CloudSyncTest::LogCapture capture({"AttributeManager"});
    Poco::Timestamp when = Poco::Timestamp::fromUtcTime(utcValue(2017, 5, 16, 12, 34, 56));

    EXPECT_TRUE(AttributeManager::setLastModified(when, file));
    EXPECT_EQ(Poco::File(file).getLastModified(), when);
    EXPECT_TRUE(capture.contains("After Set: ", "AttributeManager"));
    bool set = true;
    EXPECT_NO_THROW(set = AttributeManager::setLastModified(when, tmp / "missing"));
    EXPECT_FALSE(set);
}

struct TimestampCase {
    const char* name;
    Poco::Int64 a;
    Poco::Int64 b;
    bool check;
    bool same;
};

void PrintTo(const TimestampCase& c, std::ostream* os) { *os << c.name; }

class SameModifiedTimestamp : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(SameModifiedTimestamp, ToleratesUpTo59WholeSeconds) {
    const TimestampCase& c = GetParam();
    EXPECT_EQ(AttributeManager::sameModifiedTimestamp(c.a, c.b, c.check), c.same);
}

const Poco::Int64 kNoon = utcValue(2021, 3, 10, 12, 0, 0);
const Poco::Int64 kBeforeMidnight = utcValue(2021, 12, 31, 23, 59, 30);

INSTANTIATE_TEST_SUITE_P(
    Times, SameModifiedTimestamp,
    ::testing::Values(TimestampCase{"Equal", kNoon, kNoon, true, true},
                      TimestampCase{"FiftyNineApart", kNoon + 59 * kSecond, kNoon, true, true},
                      TimestampCase{"FiftyNinePointNineApart", kNoon + 599 * kSecond / 10, kNoon, true, true},
                      TimestampCase{"SixtyApart", kNoon + 60 * kSecond, kNoon, true, false},
                      TimestampCase{"SixtyApartOtherWay", kNoon, kNoon + 60 * kSecond, true, false},
                      TimestampCase{"AcrossMidnightWithin", kBeforeMidnight, utcValue(2022, 1, 1, 0, 0, 29), true,
                                    true},
                      TimestampCase{"AcrossMidnightBeyond", utcValue(2022, 1, 1, 0, 0, 30), kBeforeMidnight, true,
                                    false},
                      TimestampCase{"CheckOffIgnoresADay", kNoon, kNoon + 86400 * kSecond, false, true}));

TEST(SameModifiedTimestampLog, DifferenceIsTraced) {
    CloudSyncTest::LogCapture capture({"AttributeManager"});
    AttributeManager::sameModifiedTimestamp(kNoon, kNoon + 61 * kSecond, true);
    EXPECT_TRUE(capture.contains("Timestamp : DIFF exceeds 60 secs 61", "AttributeManager")) << capture.dump();
}

// ---- sameFileCRC ----

Nuvaro::RecordList settingsOf(const char* checkModTime, const char* checkCRC) {
    Nuvaro::Record map(new std::map<std::string, std::string>());
    if (checkModTime)
        (*map)["checkmodtime"] = checkModTime;
    if (checkCRC)
        (*map)["checkcrc"] = checkCRC;
    return Nuvaro::RecordList{map};
}

enum Stored { SAME, DIFFERENT, EMPTY };

struct CrcCase {
    const char* name;
    const char* checkModTime;  // nullptr: key absent
    const char* checkCRC;
    Stored modText;
    Stored crc;
    bool unchanged;
};

void PrintTo(const CrcCase& c, std::ostream* os) { *os << c.name; }

class SameFileCRC : public ::testing::TestWithParam<CrcCase> {};

TEST_P(SameFileCRC, FollowsTheSwitches) {
    const CrcCase& c = GetParam();
    CloudSyncTest::TempFolder tmp;
    const std::string content = "quarterly report, version 2";
    std::string file = tmp.write("report.docx", content);
    const Poco::Int64 modTime = utcValue(2020, 6, 1, 8, 30, 0);

    std::string realCRC;
    ASSERT_TRUE(Nuvaro::Util::getFileCRC(file, realCRC, 0, static_cast<long>(content.size()), nullptr));
    std::string crc = c.crc == SAME ? realCRC : c.crc == DIFFERENT ? "not-the-crc" : "";
    std::string modText = c.modText == SAME ? "2020-06-01 08:30:00" : c.modText == DIFFERENT ? "2020-06-01 08:31:00" : "";

    Nuvaro::RecordList settings = settingsOf(c.checkModTime, c.checkCRC);
    EXPECT_EQ(AttributeManager::sameFileCRC(settings, crc, modText, file, content.size(), modTime), c.unchanged);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, SameFileCRC,
    ::testing::Values(
        CrcCase{"ModOnCrcOnSameTextWins", "1", "1", SAME, DIFFERENT, true},
        CrcCase{"ModOnCrcOnTextDiffersCrcDecidesChanged", "1", "1", DIFFERENT, DIFFERENT, false},
        CrcCase{"ModOnCrcOnTextDiffersCrcDecidesSame", "1", "1", DIFFERENT, SAME, true},
        CrcCase{"ModOnCrcOnTextDiffersNoStoredCrc", "1", "1", DIFFERENT, EMPTY, true},
        CrcCase{"ModOnNoStoredTextCountsUnchanged", "1", "0", EMPTY, DIFFERENT, true},
        CrcCase{"ModOnCrcZeroTextDiffers", "1", "0", DIFFERENT, SAME, false},
        CrcCase{"ModOnCrcOtherValueTextAloneIsNoChange", "1", "", DIFFERENT, DIFFERENT, true},
        CrcCase{"ModOnCrcKeyMissingTextAloneIsNoChange", "1", nullptr, DIFFERENT, DIFFERENT, true},
        CrcCase{"ModOffCrcOnChanged", "0", "1", DIFFERENT, DIFFERENT, false},
        CrcCase{"ModOffCrcOnSame", "0", "1", DIFFERENT, SAME, true},
        CrcCase{"ModOffCrcOnNoStoredCrc", "0", "1", SAME, EMPTY, true},
        CrcCase{"BothOff", "0", "0", DIFFERENT, DIFFERENT, true},
        CrcCase{"NoSwitchesAtAll", nullptr, nullptr, DIFFERENT, DIFFERENT, true}));

TEST(SameFileCRCRules, ChecksumCoversOnlyTheRecordedSize) {
    CloudSyncTest::TempFolder tmp;
    std::string file = tmp.write("a.docx", "0123456789");
    std::string crcOfFirstFour;
    ASSERT_TRUE(Nuvaro::Util::getFileCRC(tmp.write("b.docx", "0123"), crcOfFirstFour, 0, 4, nullptr));
    Nuvaro::RecordList settings = settingsOf("0", "1");
    EXPECT_TRUE(AttributeManager::sameFileCRC(settings, crcOfFirstFour, "", file, 4, 0));
    EXPECT_FALSE(AttributeManager::sameFileCRC(settings, crcOfFirstFour, "", file, 10, 0));
}

TEST(SameFileCRCRules, UnreadableFileCountsUnchangedAndChangesAreTraced) {
    CloudSyncTest::TempFolder tmp;
    CloudSyncTest::LogCapture capture({"FolderCacheActivity"});
    Nuvaro::RecordList settings = settingsOf("1", "1");
    EXPECT_TRUE(AttributeManager::sameFileCRC(settings, "crc", "2000-01-01 00:00:00", tmp / "missing", 5, 0));
    EXPECT_TRUE(capture.contains("MOD Check FAIL: 1582-10-15 00:00:00 expected: 2000-01-01 00:00:00 for ",
                                 "FolderCacheActivity"))
        << capture.dump();

    std::string file = tmp.write("c.docx", "changed");
    EXPECT_FALSE(AttributeManager::sameFileCRC(settings, "crc", "2000-01-01 00:00:00", file, 7, 0));
    EXPECT_TRUE(capture.contains("File CRC Check Changed... for " + file, "FolderCacheActivity"));
}

// ---- sameFileAsRecord ----

// A file is the one its record describes only with the same size and the
// same modification second; a same-size edit made a second later is not.
TEST(SameFileAsRecord, SizeAndTheWholeSecondOrTheChecksum) {
    CloudSyncTest::TempFolder tmp;
    std::string file = tmp.write("a.txt", "0123456789");
    const Poco::Int64 at = utcValue(2020, 6, 1, 8, 30, 0);
    Nuvaro::Sync::FSSyncRecord record;
    record.setSize(10);
    record.setModified(at);
    Nuvaro::RecordList off = settingsOf("0", "0");
    struct Case {
        const char* what;
        Poco::Int64 size;
        Poco::Int64 modified;
        bool same;
    } cases[] = {
        {"same size and time", 10, at, true},
        {"later within the same second", 10, at + kSecond / 2, true},
        {"same size a second later", 10, at + kSecond, false},
        {"same size a second earlier", 10, at - 1, false},
        {"another size", 11, at, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AttributeManager::sameFileAsRecord(off, record, file, c.size, c.modified), c.same) << c.what;

    // With the checksum switched on, a stored checksum that differs is a change.
    Nuvaro::RecordList crc = settingsOf("0", "1");
    record.setFileCRC("not-the-crc");
    EXPECT_FALSE(AttributeManager::sameFileAsRecord(crc, record, file, 10, at));
    std::string real;
    ASSERT_TRUE(Nuvaro::Util::getFileCRC(file, real, 0, 10, nullptr));
    record.setFileCRC(real);
    EXPECT_TRUE(AttributeManager::sameFileAsRecord(crc, record, file, 10, at));
}

// The content decides, read from the file as the caller examined it; an
// empty stored checksum never counts as the same.
TEST(SameContentAsRecorded, OnlyTheRecordedChecksumOfTheFileAsExamined) {
    CloudSyncTest::TempFolder tmp;
    const std::string file = tmp.write("a.txt", "0123456789");
    struct stat info;
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    const Poco::Int64 examined =
        Poco::Timestamp(static_cast<Poco::Int64>(info.st_mtim.tv_sec) * 1000000 + info.st_mtim.tv_nsec / 1000)
            .utcTime();
    std::string real;
    ASSERT_TRUE(Nuvaro::Util::getFileCRC(file, real, 0, 10, nullptr));
    struct Case {
        const char* what;
        std::string crc;
        std::string path;
        Poco::Int64 size;
        Poco::Int64 modified;
        bool same;
    } cases[] = {
        {"the recorded checksum", real, file, 10, examined, true},
        {"no recorded checksum", "", file, 10, examined, false},
        {"another checksum", "not-the-crc", file, 10, examined, false},
        {"the file changed since it was examined", real, file, 10, examined - 10, false},
        {"another size than examined", real, file, 9, examined, false},
        {"a missing file", real, tmp / "missing", 10, examined, false},
    };
    for (const Case& c : cases) {
        Nuvaro::LocalFileVersion version;
        EXPECT_EQ(AttributeManager::sameContentAsRecorded(c.crc, c.path, c.size, c.modified, version), c.same)
            << c.what;
        EXPECT_EQ(version.known, c.same) << c.what;
    }
}

TEST(AdvancedSizeChecks, OnWhenEitherSwitchIsOne) {
    Nuvaro::RecordList both = settingsOf("0", "0"), mod = settingsOf("1", "0"), crc = settingsOf(nullptr, "1");
    Nuvaro::RecordList none;
    EXPECT_FALSE(AttributeManager::advancedSizeChecks(both));
    EXPECT_TRUE(AttributeManager::advancedSizeChecks(mod));
    EXPECT_TRUE(AttributeManager::advancedSizeChecks(crc));
    EXPECT_FALSE(AttributeManager::advancedSizeChecks(none));
}

// The settings map is shared with transfer threads that read it at the same
// time: reading a switch must not insert the missing key into it.
TEST(SettingsReads, MissingSwitchesAreNotInsertedIntoTheSettings) {
    CloudSyncTest::TempFolder tmp;
    std::string file = tmp.write("d.docx", "data");
    for (const char* present : {"checkmodtime", "checkcrc", "other"}) {
        SCOPED_TRACE(present);
        Nuvaro::Record map(new std::map<std::string, std::string>{{present, "1"}});
        Nuvaro::RecordList settings{map};
        AttributeManager::advancedSizeChecks(settings);
        AttributeManager::sameFileCRC(settings, "crc", "2000-01-01 00:00:00", file, 4, 0);
        EXPECT_EQ(*map, (std::map<std::string, std::string>{{present, "1"}}));
    }
}

// ---- time conversions ----

// Runs the test body in a time zone five hours west of UTC, so that any
// accidental local-time shift shows.
class TimeConversions : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_hadTZ = tz != nullptr;
        if (tz)
            m_savedTZ = tz;
        ::setenv("TZ", "EST5", 1);
        ::tzset();
    }
    void TearDown() override {
        if (m_hadTZ)
            ::setenv("TZ", m_savedTZ.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool m_hadTZ = false;
    std::string m_savedTZ;
};

TEST_F(TimeConversions, EpochSecondsAreAlreadyUTC) {
    struct {
        const char* text;
        std::time_t epoch;
    } cases[] = {{"1494938096", 1494938096}, {"1,494,938,096", 1494938096}, {"0", 0}, {"", 0}, {"soon", 0}};
    for (const auto& c : cases) {
        Poco::Timestamp ts = AttributeManager::getUTCTimeStampFromEpochStr(c.text);
        EXPECT_EQ(ts.epochTime(), c.epoch) << c.text;
        EXPECT_EQ(ts.epochMicroseconds() % 1000000, 0) << c.text;  // whole seconds
    }
    // A listing's epoch seconds and a file time of that second compare equal.
    Poco::Int64 fromListing = AttributeManager::getUTCTimeStampFromEpochStr("1494938096").utcTime();
    EXPECT_TRUE(AttributeManager::sameModifiedTimestamp(fromListing, utcValue(2017, 5, 16, 12, 34, 56), true));
    EXPECT_EQ(fromListing, utcValue(2017, 5, 16, 12, 34, 56));
}

TEST_F(TimeConversions, TextsOfAUTCTimeValue) {
    struct {
        Poco::Int64 utc;
        const char* utcText;
        const char* localText;
    } cases[] = {
        {utcValue(2017, 5, 16, 12, 34, 56), "2017-05-16 12:34:56", "2017-05-16 07:34:56"},
        {utcValue(2022, 1, 1, 3, 0, 0), "2022-01-01 03:00:00", "2021-12-31 22:00:00"},
        {utcValue(2022, 1, 1, 3, 0, 0) + kSecond / 2, "2022-01-01 03:00:00", "2021-12-31 22:00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AttributeManager::getUTCTimeStrFromUTCTimestamp(c.utc), c.utcText);
        EXPECT_EQ(AttributeManager::getLocalTimeStrFromUTCTimestamp(c.utc), c.localText);
        EXPECT_EQ(AttributeManager::getUTCTimestamp(c.utc).utcTime(), c.utc);
    }
}

} // namespace
