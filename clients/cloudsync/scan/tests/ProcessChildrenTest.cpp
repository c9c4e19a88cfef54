// processChildren and its checks, one folder at a time, on real files and a
// real sync database: each case puts one entry (and what it needs beside it)
// into a fresh folder and says whether the entry ends with a new, revived or
// updated record, and which skipped-item activity it leaves.

#include "ScanFixture.h"

#include "CaseName.h"

#include "AttributeManager.h"
#include "NameRules.h"
#include "NuvaroUtil.h"

#include <Poco/File.h>
#include <Poco/String.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Nuvaro::Sync;
using EngineTest::utcOf;

namespace {

// What stands on disk and in the database before the folder is checked.
enum class Prep {
    None,
    Placeholder,           // the walk could not examine the entry
    WriteLocked,           // another open file holds a write lock on it
    ReadOnly,              // mode 0444
    DeletedRecord,         // a deleted record of the same path
    DeletedRecordLocked,   // both of the above
    NFDSiblingRecord,      // a live record of the same name in decomposed form
    ChangedBesideCopy,     // a record of another size, and the file `extra` beside it
    LinkToFile,            // the entry is a link to a file
    PathOfLength,          // the path below the root ("/" first) is `extra` bytes long
    UnchangedRecord,       // a record of the same size and second
    ChecksumRecord,        // as above with checkcrc on and the stored checksum of `extra`
};

struct ItemCase {
    std::string what;
    std::string name;
    FSType type;
    std::map<std::string, std::string> settings;
    Prep prep;
    bool recorded;                // a dirty record for the entry afterwards
    std::string activity = "";    // "message|path", {rel} and {abs} filled in; "" for none
    std::string extra = "";
    std::string folder = "My Files/c";
    int conflicts = 0;
};

void PrintTo(const ItemCase& c, std::ostream* os) { *os << c.what; }


const std::string kNFC = "caf\xC3\xA9.txt";
const std::string kNFD = "cafe\xCC\x81.txt";

class ItemChecks : public EngineTest::ScanTest, public ::testing::WithParamInterface<ItemCase> {
protected:
    void TearDown() override {
        if (m_lockFd >= 0)
            ::close(m_lockFd);
        EngineTest::ScanTest::TearDown();
    }

    // The entry as the walk makes it of what is on disk.
    FSEntry examine(const std::string& folderRel, const std::string& name) {
        const std::string path = abs(folderRel + "/" + name);
        struct stat st;
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        const bool link = S_ISLNK(st.st_mode);
        ::stat(path.c_str(), &st);
        return FSEntry(name, S_ISDIR(st.st_mode) ? FSTypeFolder : FSTypeFile, static_cast<Poco::UInt64>(st.st_size),
                       Poco::Timestamp(static_cast<Poco::Int64>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000),
                       name[0] == '.', link);
    }

    // A folder below "My Files/long" such that folder + "/" + a name of
    // 20 to 220 bytes is `length` bytes long with a leading "/"; sets `name`.
    std::string deepFolder(std::size_t length, std::string& name) {
        std::string folder = "My Files/long";
        while (length - (1 + folder.size() + 1) > 220)
            folder += "/" + std::string(200, 'd');
        mkdir(folder);
        name = std::string(length - (1 + folder.size() + 1) - 4, 'n') + ".zip";
        return folder;
    }

    void holdWriteLock(const std::string& path) {
        m_lockFd = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(m_lockFd, 0);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        ASSERT_EQ(::fcntl(m_lockFd, F_OFD_SETLK, &lock), 0);
    }

    int m_lockFd = -1;
};

TEST_P(ItemChecks, RecordsOrLeavesTheEntry) {
    const ItemCase& c = GetParam();
    for (const auto& s : c.settings)
        setting(s.first, s.second);
    std::string name = c.name;
    const std::string folderRel = c.prep == Prep::PathOfLength ? deepFolder(std::stoul(c.extra), name) : c.folder;
    const std::string rel = folderRel + "/" + name;
    const std::string path = abs(rel);
    mkdir(folderRel);
    if (c.prep != Prep::Placeholder) {
        if (c.type == FSTypeFolder)
            mkdir(rel);
        else if (c.prep == Prep::LinkToFile)
            ASSERT_EQ(::symlink((write(folderRel + "/target.bin", "t"), "target.bin"), path.c_str()), 0);
        else
            write(rel, "content");
    }
    if (c.prep != Prep::Placeholder)
        EngineTest::setModified(path, 1500000000, 250000);

    std::vector<std::string> beside;
    switch (c.prep) {
    case Prep::WriteLocked:
        holdWriteLock(path);
        break;
    case Prep::ReadOnly:
        ::chmod(path.c_str(), 0444);
        break;
    case Prep::DeletedRecordLocked:
        holdWriteLock(path);
        // fall through
    case Prep::DeletedRecord:
        storeRecord(rel, c.type, 1, utcOf(1000), true);
        break;
    case Prep::NFDSiblingRecord:
        storeRecord(folderRel + "/" + kNFD, FSTypeFile, 7, utcOf(1500000000), false);
        break;
    case Prep::ChangedBesideCopy:
        storeRecord(rel, FSTypeFile, 999, utcOf(1500000000));
        write(folderRel + "/" + c.extra, "copy");
        beside.push_back(c.extra);
        break;
    case Prep::UnchangedRecord:
        storeRecord(rel, FSTypeFile, 7, utcOf(1500000000, 900000));
        break;
    case Prep::ChecksumRecord: {
        FSSyncRecordPtr record = storeRecord(rel, FSTypeFile, 7, utcOf(1500000000));
        std::string other = write("crc-source", c.extra), crc;
        ASSERT_TRUE(Nuvaro::Util::getFileCRC(other, crc, 0, 7));
        record->setFileCRC(crc);
        ASSERT_TRUE(m_db->FSSyncRecordUpdate(record.get()));
        break;
    }
    default:
        break;
    }

    std::unique_ptr<FolderCacheActivity> scan = makeScan();
    scan->readSettings();
    FolderCacheActivity::StorePtr store(new Nuvaro::DataSync::DataSyncStore());
    ASSERT_TRUE(m_db->getDataStore("", "laptop1", *store, m_quit));
    scan->loadCache(store);
    std::string::size_type slash = folderRel.rfind('/');
    boost::shared_ptr<FSChildren> children(new FSChildren(
        FolderData(folderRel.substr(slash + 1), folderRel.substr(0, slash), folderRel, abs(folderRel))));
    FSEntry entry = c.prep == Prep::Placeholder ? FSEntry(name, c.type) : examine(folderRel, name);
    children->addChild(entry);
    for (const std::string& other : beside) {
        FSEntry copy = examine(folderRel, other);
        children->addChild(copy);
    }

    scan->processChildren(store, children, children->folder);

    bool recorded = false;
    for (const auto& dirty : store->getDirtyRecords()) {
        FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(dirty.second);
        EXPECT_TRUE(record->getLocalFullPath() == rel) << "only the entry under test: " << record->getLocalFullPath();
        if (record->getLocalFullPath() != rel)
            continue;
        recorded = true;
        EXPECT_EQ(record->getIsDeleted(), 0);
        EXPECT_EQ(record->getType(), c.type);
        EXPECT_EQ(record->getFriendlyName(), "Owner");
        if (c.type == FSTypeFile) {
            EXPECT_EQ(record->getSize(), 7);
            EXPECT_EQ(record->getModified(), utcOf(1500000000, 250000));
        }
    }
    EXPECT_EQ(recorded, c.recorded);
    std::vector<std::string> expected;
    if (!c.activity.empty()) {
        std::string activity = c.activity;
        Poco::replaceInPlace(activity, std::string("{rel}"), rel);
        Poco::replaceInPlace(activity, std::string("{abs}"), path);
        expected.push_back(activity);
    }
    EXPECT_EQ(skippedActivities(), expected);
    EXPECT_EQ(scan->numConflictsDetected(), c.conflicts);
    if (c.prep == Prep::ReadOnly) {
        struct stat st;
        ::stat(path.c_str(), &st);
        EXPECT_EQ(st.st_mode & 07777, 0444u) << "the permissions stay as the user set them";
    }
}

std::vector<ItemCase> itemCases() {
    const FSType file = FSTypeFile, folder = FSTypeFolder;
    const std::map<std::string, std::string> none;
    const std::map<std::string, std::string> restricted{{"uploadrestrictions", "EXE|bat"}};
    std::vector<ItemCase> cases{
        {"plain new file", "notes.txt", file, none, Prep::None, true},
        {"entry the walk could not examine", "gone.txt", file, none, Prep::Placeholder, false},
        {"leading tilde", "~$report.docx", file, none, Prep::None, false},
        {"tilde inside", "a~b.txt", file, none, Prep::None, true},
        {"colon", "a:b.txt", file, none, Prep::None, false},
        {"cache name", ".cache", file, none, Prep::None, false},
        {"dot-dot allowed", "Notes..txt", file, none, Prep::None, true},
        {"dot-dot disabled", "Notes..txt", file, {{"disabledotdot", "1"}}, Prep::None, false},
        {"skip pattern, any case", "skipme.txt", file, {{"skipregex", "^SKIP"}}, Prep::None, false,
         "Skipping Matched Regex Filter ^SKIP|{rel}"},
        {"skip pattern not matching", "keep.txt", file, {{"skipregex", "^SKIP"}}, Prep::None, true},
        {"control character", "bell\x07.txt", file, none, Prep::None, false, "Skipping files with invalid chars|{rel}"},
        {"format character", "zero\xE2\x80\x8Bwidth.txt", file, none, Prep::None, false,
         "Skipping files with invalid chars|{rel}"},
        {"private use character", "private\xEE\x80\x80.txt", file, none, Prep::None, false,
         "Skipping files with invalid chars|{rel}"},
        {"blank inside", "with space.txt", file, none, Prep::None, true},
        {"letters beyond ASCII", "\xC3\xBCn\xC3\xAF" "code.txt", file, none, Prep::None, true},
        {"tab refused as junk", "tab\there.txt", file, none, Prep::None, false},
        {"thumbnail cache", "Thumbs.db", file, none, Prep::None, false},
        {"desktop settings", "desktop.ini", file, none, Prep::None, false},
        {"temporary file", "x.tmp", file, none, Prep::None, false},
        {"shortcut", "a.lnk", file, none, Prep::None, false},
        {"conflict marker", "f Conflict_1.txt", file, none, Prep::None, false},
        {"own database", "nuvaro.db", file, none, Prep::None, false},
        {"folder named like junk is revived", "Thumbs.db", folder, none, Prep::DeletedRecord, true},
        {"banned extension", "setup.exe", file, restricted, Prep::None, false,
         "Skipping Banned Extension exe|bat|{rel}"},
        {"banned extension in other case", "run.BAT", file, restricted, Prep::None, false,
         "Skipping Banned Extension exe|bat|{rel}"},
        {"banned extension between empty ones", "setup.exe", file, {{"uploadrestrictions", "|exe|"}}, Prep::None,
         false, "Skipping Banned Extension |exe||{rel}"},
        {"allowed extension", "notes.txt", file, restricted, Prep::None, true},
        {"write-locked file in use", "locked.zip", file, none, Prep::WriteLocked, false,
         "Skipping File in Use |{abs}"},
        {"in-use test switched off", "locked.zip", file, {{"skipinusecheck", "1"}}, Prep::WriteLocked, true},
        {"upper-case document extension", "REPORT.PDF", file, none, Prep::WriteLocked, true},
        {"read-only file recorded and left read-only", "readonly.zip", file, none, Prep::ReadOnly, true},
        {"path of 3500 bytes", "", file, none, Prep::PathOfLength, true, "", "3500"},
        {"path of 3501 bytes", "", file, none, Prep::PathOfLength, false, "", "3501"},
        {"deleted record revived without in-use test", "back.zip", file, none, Prep::DeletedRecordLocked, true},
        {"composed name beside a decomposed record", kNFC, file, none, Prep::NFDSiblingRecord, false},
        {"conflict copy beside a changed file", "report.docx", file, none, Prep::ChangedBesideCopy, false, "",
         "report(Conflict_pc_2017-05-16-10-00-00).docx", "My Files/c", 1},
        {"conflict copy of another file does not hold back a change", "a.txt", file, none,
         Prep::ChangedBesideCopy, true, "", "data(Conflict_pc_2017-05-16-10-00-00).txt"},
        {"conflict copy with another extension", "a.txt", file, none, Prep::ChangedBesideCopy, true, "",
         "a(Conflict_pc_2017-05-16-10-00-00).doc"},
        {"hidden file", ".hidden.txt", file, none, Prep::None, false},
        {"link to a file", "link.txt", file, none, Prep::LinkToFile, false},
        {"no server path", "f.txt", file, none, Prep::None, false, "", "", "Shared with Me"},
        {"same size within the same second", "same.txt", file, none, Prep::UnchangedRecord, false},
        {"checksum differs", "crc.txt", file, {{"checkcrc", "1"}}, Prep::ChecksumRecord, true, "", "CONTENT"},
        {"checksum equal", "crc.txt", file, {{"checkcrc", "1"}}, Prep::ChecksumRecord, false, "", "content"},
    };
    // Documents are recorded even while another program writes them.
    for (const char* extension : {"doc", "docx", "dotx", "docm", "dot", "dotm", "txt", "xls", "xlsx", "xlsb", "xlsm",
                                  "xlt", "ppt", "pptx", "potm", "potx", "pps", "ppsm", "ppsx", "pptm", "pdf"})
        cases.push_back({std::string("write-locked ") + extension + " recorded", std::string("open.") + extension,
                         file, none, Prep::WriteLocked, true});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, ItemChecks, ::testing::ValuesIn(itemCases()), EngineTest::NameByWhat());

TEST(NameRules, BadCharactersAndExtensions) {
    EXPECT_TRUE(NameRules::hasBadChars("~x"));
    EXPECT_FALSE(NameRules::hasBadChars("x~"));
    EXPECT_EQ(NameRules::lowerExtension("a.B.Zip"), "zip");
    EXPECT_TRUE(NameRules::matchesAnywhere(Poco::RegularExpression("b+"), "abbc"));
    EXPECT_FALSE(Poco::RegularExpression("b+").match("abbc")) << "what matchesAnywhere is for";
}

TEST(CheckIfPathIsEmpty, MissingEmptyAndFull) {
    CloudSyncTest::TempFolder tmp;
    Poco::File(tmp / "empty").createDirectories();
    tmp.write("full/a", "a");
    EXPECT_TRUE(checkIfPathIsEmpty(tmp / "missing"));
    EXPECT_TRUE(checkIfPathIsEmpty(tmp / "empty"));
    EXPECT_FALSE(checkIfPathIsEmpty(tmp / "full"));
}

} // namespace
