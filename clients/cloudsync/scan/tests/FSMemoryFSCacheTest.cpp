// The folder-tree walk (FSMemoryFSCache::initFromPath) on real folders.

#include "FSMemoryFSCache.h"

#include "CaseName.h"
#include "TempFolder.h"
#include "EventRecorder.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace Nuvaro::Sync;

namespace {

// What the walk makes of one name.
enum class Outcome {
    Entry,        // an examined entry
    Placeholder,  // an entry with skip set (could not be examined)
    Dropped,      // no entry, not listed anywhere
    SetAside,     // no entry, absolute path in skippedPaths
    Unsupported,  // no entry, absolute path in unsupportedPaths
};

enum class Kind { File, Folder, Fifo, LinkToFile, DanglingLink };

struct WalkCase {
    const char* what;
    std::string name;  // as created on disk
    Kind kind;
    bool disableDotDot;
    Outcome outcome;
    std::string entryName = "";  // the entry's (NFC) name, when other than `name`
    std::string extension = "";  // for Entry
    bool hidden = false;
    bool entered = false;  // for folders: a folders element exists
};


void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.what; }

class WalkNames : public ::testing::TestWithParam<WalkCase> {};

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

void create(const std::string& folder, const WalkCase& c) {
    const std::string path = folder + "/" + c.name;
    switch (c.kind) {
    case Kind::File:
        writeFile(path, "content");
        break;
    case Kind::Folder:
        Poco::File(path).createDirectories();
        writeFile(path + "/inside.txt", "i");
        break;
    case Kind::Fifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        break;
    case Kind::LinkToFile:
        writeFile(folder + "/target.bin", "t");
        ASSERT_EQ(::symlink("target.bin", path.c_str()), 0);
        break;
    case Kind::DanglingLink:
        ASSERT_EQ(::symlink("nowhere", path.c_str()), 0);
        break;
    }
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

TEST_P(WalkNames, KeepsDropsOrSetsAsideEachName) {
    const WalkCase& c = GetParam();
    CloudSyncTest::TempFolder tmp;
    const std::string folder = tmp / "d";
    Poco::File(folder).createDirectories();
    create(folder, c);

    FSMemoryFSCache cache;
    cache.initFromPath(tmp.path(), c.disableDotDot);

    ASSERT_EQ(cache.folders.count(folder), 1u);
    const auto& children = cache.folders[folder]->children;
    const std::string entryName = c.entryName.empty() ? c.name : c.entryName;
    const std::string absolute = folder + "/" + entryName;
    auto found = children.find(entryName);
    switch (c.outcome) {
    case Outcome::Entry:
        ASSERT_NE(found, children.end());
        EXPECT_FALSE(found->skip);
        EXPECT_EQ(found->name, entryName);
        EXPECT_EQ(cache.folders[folder]->folder.relativePath, "d");
        EXPECT_EQ(found->type, c.kind == Kind::Folder ? FSTypeFolder : FSTypeFile);
        EXPECT_EQ(found->extension(), c.extension);
        EXPECT_EQ(found->hidden, c.hidden);
        EXPECT_EQ(found->link, c.kind == Kind::LinkToFile);
        if (c.kind == Kind::Folder) {
            EXPECT_EQ(cache.folders.count(absolute), c.entered ? 1u : 0u);
        } else {  // as the file system reports it; through a link, the target's
            EXPECT_EQ(found->size, c.kind == Kind::LinkToFile ? 1u : 7u);
        }
        break;
    case Outcome::Placeholder:
        ASSERT_NE(found, children.end());
        EXPECT_TRUE(found->skip);
        EXPECT_EQ(found->type, FSTypeFile);
        break;
    case Outcome::Dropped:
    case Outcome::SetAside:
    case Outcome::Unsupported:
        EXPECT_EQ(found, children.end());
        EXPECT_EQ(cache.folders.count(absolute), 0u) << "never entered";
        EXPECT_EQ(contains(cache.skippedPaths, absolute), c.outcome == Outcome::SetAside);
        EXPECT_EQ(contains(cache.unsupportedPaths, absolute), c.outcome == Outcome::Unsupported);
        break;
    }
    if (c.outcome != Outcome::SetAside) {
        EXPECT_TRUE(cache.skippedPaths.empty());
    }
}

const std::string kNFC = "caf\xC3\xA9.txt";   // café.txt, é composed
const std::string kNFD = "cafe\xCC\x81.txt";  // café.txt, e + combining acute

INSTANTIATE_TEST_SUITE_P(
    Table, WalkNames,
    ::testing::Values(
        WalkCase{"plain file", "notes.txt", Kind::File, false, Outcome::Entry, "", "txt"},
        WalkCase{"extension lower-cased", "Report.PDF", Kind::File, false, Outcome::Entry, "", "pdf"},
        WalkCase{"last dot gives the extension", "a.tar.GZ", Kind::File, false, Outcome::Entry, "", "gz"},
        WalkCase{"no dot, no extension", "README", Kind::File, false, Outcome::Entry, "", ""},
        WalkCase{"tilde inside is fine", "a~b", Kind::File, false, Outcome::Entry, "", ""},
        WalkCase{"leading tilde dropped", "~lock.txt", Kind::File, false, Outcome::Dropped},
        WalkCase{"colon dropped", "a:b.txt", Kind::File, false, Outcome::Dropped},
        WalkCase{"less-than dropped", "a<b", Kind::File, false, Outcome::Dropped},
        WalkCase{"greater-than dropped", "a>b", Kind::File, false, Outcome::Dropped},
        WalkCase{"double quote dropped", "a\"b", Kind::File, false, Outcome::Dropped},
        WalkCase{"backslash dropped", "a\\b", Kind::File, false, Outcome::Dropped},
        WalkCase{"vertical bar dropped", "a|b", Kind::File, false, Outcome::Dropped},
        WalkCase{"question mark dropped", "a?b", Kind::File, false, Outcome::Dropped},
        WalkCase{"asterisk dropped", "a*b", Kind::File, false, Outcome::Dropped},
        WalkCase{"carriage return dropped", "a\rb", Kind::File, false, Outcome::Dropped},
        WalkCase{"line feed dropped", "a\nb", Kind::File, false, Outcome::Dropped},
        WalkCase{"dot-dot kept when allowed", "x..y", Kind::File, false, Outcome::Entry, "", "y"},
        WalkCase{"dot-dot set aside when disabled", "x..y", Kind::File, true, Outcome::SetAside},
        WalkCase{".cache folder set aside", ".cache", Kind::Folder, false, Outcome::SetAside},
        WalkCase{"partial download set aside", "f.tmp.part3", Kind::File, false, Outcome::SetAside},
        WalkCase{"leading blank set aside", " lead.txt", Kind::File, false, Outcome::SetAside},
        WalkCase{"trailing blank set aside", "trail.txt ", Kind::File, false, Outcome::SetAside},
        WalkCase{"trailing tab set aside", "tab.txt\t", Kind::File, false, Outcome::SetAside},
        WalkCase{"hidden folder recorded, not entered", ".git", Kind::Folder, false, Outcome::Entry, "", "git",
                 true, false},
        WalkCase{"folder entered", "sub", Kind::Folder, false, Outcome::Entry, "", "", false, true},
        WalkCase{"hidden file", ".profile", Kind::File, false, Outcome::Entry, "", "profile", true},
        WalkCase{"composed name kept", kNFC, Kind::File, false, Outcome::Entry, "", "txt"},
        WalkCase{"decomposed name is examined under its composed form", kNFD, Kind::File, false,
                 Outcome::Placeholder, kNFC},
        WalkCase{"name that is not UTF-8 set aside", "bad\xFF.txt", Kind::File, false, Outcome::SetAside,
                 "bad\xEF\xBF\xBD.txt"},
        WalkCase{"FIFO never opened", "pipe", Kind::Fifo, false, Outcome::Unsupported},
        WalkCase{"link to a file", "lnk.bin", Kind::LinkToFile, false, Outcome::Entry, "", "bin"},
        WalkCase{"dangling link", "dangling", Kind::DanglingLink, false, Outcome::Placeholder}),
    EngineTest::NameByWhat());

// The order folders are entered in, read from the set-aside ".cache" names
// the walk meets in each folder.
TEST(Walk, DepthFirstLastFoundEnteredFirst) {
    CloudSyncTest::TempFolder tmp;
    tmp.write("a/x.txt", "x");
    tmp.write("b/y.txt", "y");
    Poco::File(tmp / "a/.cache").createDirectories();
    Poco::File(tmp / "b/.cache").createDirectories();
    std::vector<std::string> listed;
    DIR* dir = ::opendir(tmp.path().c_str());
    while (struct dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.')
            listed.push_back(e->d_name);
    ::closedir(dir);
    ASSERT_EQ(listed.size(), 2u);

    FSMemoryFSCache cache;
    cache.initFromPath(tmp.path(), false);

    EXPECT_EQ(cache.folders.size(), 3u);
    EXPECT_EQ(cache.fileCount, 2);
    std::vector<std::string> expected{tmp / (listed[1] + "/.cache"), tmp / (listed[0] + "/.cache")};
    EXPECT_EQ(cache.skippedPaths, expected);
    const FolderData& b = cache.folders[tmp / "b"]->folder;
    EXPECT_EQ(std::make_tuple(b.name, b.parentPath, b.relativePath, b.fullPath),
              std::make_tuple(std::string("b"), std::string(""), std::string("b"), tmp / "b"));

    // A second walk rebuilds the folders but keeps appending set-aside names.
    cache.initFromPath(tmp.path(), false);
    EXPECT_EQ(cache.folders.size(), 3u);
    EXPECT_EQ(cache.skippedPaths.size(), 4u);
}

TEST(Walk, TwoNamesWithOneComposedFormLeaveOneEntry) {
    CloudSyncTest::TempFolder tmp;
    tmp.write(kNFC, "composed");
    tmp.write(kNFD, "decomposed!");
    FSMemoryFSCache cache;
    cache.initFromPath(tmp.path(), false);
    const auto& children = cache.folders[tmp.path()]->children;
    ASSERT_EQ(children.size(), 1u);
    // Either name examines the composed file.
    ASSERT_NE(children.find(std::string(kNFC)), children.end());
    EXPECT_EQ(children.find(std::string(kNFC))->size, 8u);
}

TEST(Walk, LinksToFoldersAreEntriesButAreNeverEntered) {
    CloudSyncTest::TempFolder tmp;
    CloudSyncTest::TempFolder outside;
    tmp.write("a/b/f.txt", "f");
    tmp.write("c/g.txt", "g");
    outside.write("o.txt", "o");
    ASSERT_EQ(::symlink(tmp.path().c_str(), (tmp / "a/up").c_str()), 0);          // to the top
    ASSERT_EQ(::symlink("../../c", (tmp / "a/b/toC").c_str()), 0);                 // to a sibling
    ASSERT_EQ(::symlink("../a/b", (tmp / "c/toB").c_str()), 0);                    // and back: a loop
    ASSERT_EQ(::symlink(outside.path().c_str(), (tmp / "a/ext").c_str()), 0);      // outside the tree

    FSMemoryFSCache cache;
    cache.initFromPath(tmp.path(), false);

    std::vector<std::string> entered;
    for (const auto& folder : cache.folders)
        entered.push_back(folder.first);
    std::vector<std::string> expected{tmp.path(), tmp / "a", tmp / "a/b", tmp / "c"};
    EXPECT_EQ(entered, expected);
    EXPECT_TRUE(cache.repeatedFolders.empty());
    EXPECT_EQ(cache.fileCount, 2);  // f and g; nothing behind a link
    for (const auto& link : {std::make_pair(tmp / "a", "up"), std::make_pair(tmp / "a", "ext"),
                             std::make_pair(tmp / "a/b", "toC"), std::make_pair(tmp / "c", "toB")}) {
        auto found = cache.folders[link.first]->children.find(std::string(link.second));
        ASSERT_NE(found, cache.folders[link.first]->children.end()) << link.second;
        const FSEntry& entry = *found;
        EXPECT_EQ(entry.type, FSTypeFolder) << link.second;
        EXPECT_TRUE(entry.link) << link.second;
    }
}

TEST(Walk, MissingTopFolderGivesOneEmptyUnlistedFolder) {
    CloudSyncTest::TempFolder tmp;
    FSMemoryFSCache cache;
    cache.initFromPath(tmp / "missing", false);
    ASSERT_EQ(cache.folders.size(), 1u);
    EXPECT_TRUE(cache.folders[tmp / "missing"]->children.empty());
    EXPECT_EQ(cache.fileCount, 0);
    EXPECT_EQ(cache.unlistedFolders, std::set<std::string>{tmp / "missing"});
}

// Removes `depth` nested empty folders named `component` below `top`, through
// descriptors (their paths are too long for the path-based calls).
void removeChain(const std::string& top, const std::string& component, int depth) {
    std::vector<int> fds{::open(top.c_str(), O_RDONLY | O_DIRECTORY)};
    for (int i = 1; i < depth; ++i)
        fds.push_back(::openat(fds.back(), component.c_str(), O_RDONLY | O_DIRECTORY));
    for (int i = depth - 1; i >= 0; --i) {
        ::unlinkat(fds[i], component.c_str(), AT_REMOVEDIR);
        ::close(fds[i]);
    }
}

// A folder whose absolute path is longer than the system accepts is listed
// by its parent but cannot be opened itself.
TEST(Walk, FolderThatCannotBeOpenedIsMarkedUnlisted) {
    CloudSyncTest::TempFolder tmp;
    const std::string component(200, 'd');
    int fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string deepest = tmp.path();
    for (int i = 0; i < 21; ++i) {  // 21 * 201 bytes: past the 4096-byte path limit
        ASSERT_EQ(::mkdirat(fd, component.c_str(), 0700), 0);
        int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        deepest += "/" + component;
    }
    ::close(fd);

    FSMemoryFSCache cache;
    cache.initFromPath(tmp.path(), false);
    removeChain(tmp.path(), component, 21);

    EXPECT_EQ(cache.unlistedFolders.count(deepest), 1u);
    EXPECT_EQ(cache.folders.count(deepest), 1u);
    EXPECT_TRUE(cache.folders[deepest]->children.empty());
}

TEST(Walk, RaisesScanEventsAndOneProgressEventPer50Folders) {
    CloudSyncTest::TempFolder tmp;
    for (int i = 0; i < 50; ++i)
        Poco::File(tmp / ("top/sub" + std::to_string(i))).createDirectories();
    CloudSyncTest::EventRecorder recorder;
    FSMemoryFSCache cache;
    cache.initFromPath(tmp.path(), false);

    std::vector<CloudSyncTest::EventRecorder::Event> expected{
        {10, "Scanning..", 100}, {12, "top", 0}, {13, "Scanning..", 100}};
    EXPECT_EQ(recorder.events(), expected);
}

TEST(Walk, StopCheckEndsTheWalkEarly) {
    CloudSyncTest::TempFolder tmp;
    tmp.write("a/b/c/f.txt", "f");
    FSMemoryFSCache cache;
    int asked = 0;
    cache.setStopCheck([&asked] { return ++asked > 2; });
    cache.initFromPath(tmp.path(), false);
    EXPECT_EQ(cache.folders.size(), 2u);
}

} // namespace

// The tree keeps each file in one small entry: its name once, no key, parent
// path or extension beside it. Measured on the heap the walk leaves behind
// (names short enough to live inside the string, so only the entries count).
TEST(Walk, KeepsEachFileInOneSmallEntry) {
    CloudSyncTest::TempFolder tmp;
    const int kFiles = 20000;
    for (int folder = 0; folder < 4; ++folder) {
        const std::string path = tmp / ("d" + std::to_string(folder));
        Poco::File(path).createDirectories();
        for (int i = 0; i < kFiles / 4; ++i) {
            int fd = ::open((path + "/f" + std::to_string(i) + ".txt").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
    }
    FSMemoryFSCache cache;
    const std::size_t before = ::mallinfo2().uordblks;
    cache.initFromPath(tmp.path(), false);
    const std::size_t after = ::mallinfo2().uordblks;
    ASSERT_EQ(cache.fileCount, kFiles);
    const double perFile = static_cast<double>(after - before) / kFiles;
    // A map node keyed by a copy of the name around an entry holding name,
    // parent path and extension took over 200 bytes.
    EXPECT_LT(perFile, 150.0) << "heap bytes per file: " << perFile;
}
