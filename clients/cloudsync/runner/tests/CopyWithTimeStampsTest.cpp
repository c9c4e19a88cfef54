// Copying a folder tree with its files' times (a moved sync folder must look
// unchanged to the folder scan), and what the copy refuses: a tree into
// itself, a file onto itself, following links, opening pipes.

#include "CopyWithTimeStamps.h"

#include "TempFolder.h"

#include <Poco/File.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using CloudSyncTest::TempFolder;
using Nuvaro::Sync::copyFolderContents;
using Nuvaro::Sync::copyWithTimeStamps;

const time_t kT1 = 1494928800;  // 2017-05-16 10:00:00 UTC
const time_t kT2 = 1400000000;
const time_t kT3 = 1300000000;

class CopyTest : public ::testing::Test {
protected:
    // A file with content and modification time (seconds).
    std::string put(const std::string& relative, const std::string& content, time_t modified = kT1) {
        return m_tmp.write(relative, content, modified);
    }
    void folder(const std::string& relative) { Poco::File(m_tmp / relative).createDirectories(); }
    void link(const std::string& target, const std::string& relative) {
        ASSERT_EQ(::symlink(target.c_str(), (m_tmp / relative).c_str()), 0);
    }

    struct stat info(const std::string& relative) {
        struct stat result = {};
        ::lstat((m_tmp / relative).c_str(), &result);
        return result;
    }
    bool exists(const std::string& relative) {
        struct stat result;
        return ::lstat((m_tmp / relative).c_str(), &result) == 0;
    }
    std::string content(const std::string& relative) { return TempFolder::read(m_tmp / relative); }
    time_t modified(const std::string& relative) { return info(relative).st_mtime; }
    std::string linkTarget(const std::string& relative) {
        char buffer[4096];
        ssize_t length = ::readlink((m_tmp / relative).c_str(), buffer, sizeof buffer);
        return length < 0 ? "<not a link>" : std::string(buffer, static_cast<std::size_t>(length));
    }

    // Every path below the temp folder, for "nothing was written" checks.
    std::vector<std::string> everything() {
        std::vector<std::string> paths;
        std::function<void(const std::string&)> walk = [&](const std::string& relative) {
            std::vector<std::string> names;
            Poco::File(relative.empty() ? m_tmp.path() : m_tmp / relative).list(names);
            for (const std::string& name : names) {
                const std::string path = relative.empty() ? name : relative + "/" + name;
                paths.push_back(path);
                if (S_ISDIR(info(path).st_mode))
                    walk(path);
            }
        };
        walk("");
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    // The source tree of most tests.
    void sourceTree() {
        put("Old/a.txt", "alpha", kT1);
        put("Old/docs/b.txt", "bravo", kT2);
        put("Old/docs/deep/c.txt", "charlie", kT3);
        folder("Old/empty");
        put("Old/desktop.ini", "ini");
        put("Old/sync.ico", "ico");
        put("Old/docs/desktop.ini", "ini");
        folder("to");
    }

    TempFolder m_tmp;
};

// ---- Trees ----

TEST_F(CopyTest, TreeGoesIntoAFolderNamedAfterTheSourceAndKeepsFileTimes) {
    sourceTree();
    ASSERT_TRUE(copyWithTimeStamps(m_tmp / "Old", m_tmp / "to"));
    EXPECT_EQ(content("to/Old/a.txt"), "alpha");
    EXPECT_EQ(content("to/Old/docs/deep/c.txt"), "charlie");
    EXPECT_EQ(modified("to/Old/a.txt"), kT1);
    EXPECT_EQ(modified("to/Old/docs/b.txt"), kT2);
    EXPECT_EQ(modified("to/Old/docs/deep/c.txt"), kT3);
    EXPECT_TRUE(S_ISDIR(info("to/Old/empty").st_mode));
    for (const char* left : {"to/Old/desktop.ini", "to/Old/sync.ico", "to/Old/docs/desktop.ini"})
        EXPECT_FALSE(exists(left)) << left;
    // Sources are left as they were.
    EXPECT_EQ(content("Old/a.txt"), "alpha");
}

TEST_F(CopyTest, ContentsGoIntoTheFolderItself) {
    sourceTree();
    ASSERT_TRUE(copyFolderContents(m_tmp / "Old", m_tmp / "to", false));
    EXPECT_EQ(content("to/a.txt"), "alpha");
    EXPECT_EQ(modified("to/docs/deep/c.txt"), kT3);
    EXPECT_FALSE(exists("to/Old"));
    EXPECT_FALSE(exists("to/sync.ico"));
}

TEST_F(CopyTest, FilesKeepTheirPermissionBitsAndNoTemporaryFileStays) {
    const std::string tool = put("Old/tool.sh", "#!/bin/sh\n");
    ::chmod(tool.c_str(), 0750);
    folder("to");
    ASSERT_TRUE(copyWithTimeStamps(m_tmp / "Old", m_tmp / "to"));
    EXPECT_EQ(info("to/Old/tool.sh").st_mode & 07777, 0750u);
    std::vector<std::string> names;
    Poco::File(m_tmp / "to/Old").list(names);
    EXPECT_EQ(names, std::vector<std::string>{"tool.sh"});
}

struct ExistingCase {
    const char* what;
    bool overwrite;
    std::string expected;
    time_t expectedTime;
};

class ExistingTargets : public CopyTest, public ::testing::WithParamInterface<ExistingCase> {};

TEST_P(ExistingTargets, AreReplacedOnlyWhenAsked) {
    put("Old/a.txt", "new", kT1);
    put("to/Old/a.txt", "already there", kT2);
    ASSERT_TRUE(copyWithTimeStamps(m_tmp / "Old", m_tmp / "to", GetParam().overwrite));
    EXPECT_EQ(content("to/Old/a.txt"), GetParam().expected);
    EXPECT_EQ(modified("to/Old/a.txt"), GetParam().expectedTime);
}

INSTANTIATE_TEST_SUITE_P(Copy, ExistingTargets,
                         ::testing::Values(ExistingCase{"Overwrite", true, "new", kT1},
                                           ExistingCase{"Keep", false, "already there", kT2}),
                         [](const ::testing::TestParamInfo<ExistingCase>& c) { return std::string(c.param.what); });

// ---- Single files ----

struct SingleFileCase {
    const char* what;
    std::string to;      // relative to the temp folder
    std::string result;  // where the copy lands
};

class SingleFiles : public CopyTest, public ::testing::WithParamInterface<SingleFileCase> {};

TEST_P(SingleFiles, AreCopiedWithTheCurrentTime) {
    put("report.txt", "words", kT1);
    folder("dest");
    const time_t before = std::time(nullptr);
    ASSERT_TRUE(copyWithTimeStamps(m_tmp / "report.txt", m_tmp / GetParam().to));
    EXPECT_EQ(content(GetParam().result), "words");
    EXPECT_GE(modified(GetParam().result), before);
}

INSTANTIATE_TEST_SUITE_P(
    Copy, SingleFiles,
    ::testing::Values(SingleFileCase{"IntoAFolderUnderItsOwnName", "dest", "dest/report.txt"},
                      SingleFileCase{"ToAFilePath", "dest/renamed.txt", "dest/renamed.txt"}),
    [](const ::testing::TestParamInfo<SingleFileCase>& c) { return std::string(c.param.what); });

TEST_F(CopyTest, MissingSourceGivesFalseAndCreatesNothing) {
    folder("to");
    const std::vector<std::string> before = everything();
    EXPECT_FALSE(copyWithTimeStamps(m_tmp / "none", m_tmp / "to"));
    EXPECT_FALSE(copyFolderContents(m_tmp / "none", m_tmp / "to", false));
    EXPECT_EQ(everything(), before);
}

// ---- What is refused ----

struct NestedCase {
    const char* what;
    std::function<bool(const TempFolder&)> copy;
};

class NestedCopies : public CopyTest, public ::testing::WithParamInterface<NestedCase> {};

TEST_P(NestedCopies, AreRefusedBeforeAnythingIsWritten) {
    put("p/a/x.txt", "x");
    folder("p/a/b");
    link(m_tmp / "p/a", "alias");
    const std::vector<std::string> before = everything();
    EXPECT_FALSE(GetParam().copy(m_tmp));
    EXPECT_EQ(everything(), before);
    EXPECT_EQ(content("p/a/x.txt"), "x");
}

INSTANTIATE_TEST_SUITE_P(
    Copy, NestedCopies,
    ::testing::Values(
        NestedCase{"TreeIntoItself", [](const TempFolder& t) { return copyWithTimeStamps(t / "p/a", t / "p/a"); }},
        NestedCase{"TreeIntoASubfolder",
                   [](const TempFolder& t) { return copyWithTimeStamps(t / "p/a", t / "p/a/b"); }},
        NestedCase{"TreeOntoItselfFromItsParent",
                   [](const TempFolder& t) { return copyWithTimeStamps(t / "p/a", t / "p"); }},
        NestedCase{"TreeIntoItselfThroughALink",
                   [](const TempFolder& t) { return copyWithTimeStamps(t / "p/a", t / "alias/b"); }},
        NestedCase{"ContentsIntoTheSameFolder",
                   [](const TempFolder& t) { return copyFolderContents(t / "p/a", t / "p/a", true); }},
        NestedCase{"ContentsIntoASubfolder",
                   [](const TempFolder& t) { return copyFolderContents(t / "p/a", t / "p/a/b", true); }},
        NestedCase{"ContentsIntoTheParent",
                   [](const TempFolder& t) { return copyFolderContents(t / "p/a/b", t / "p/a", true); }},
        NestedCase{"ContentsIntoALinkToTheSource",
                   [](const TempFolder& t) { return copyFolderContents(t / "p/a", t / "alias", true); }}),
    [](const ::testing::TestParamInfo<NestedCase>& c) { return std::string(c.param.what); });

TEST_F(CopyTest, AFileReachedByTwoPathsIsNotCopiedOntoItself) {
    put("Old/a.txt", "same file");
    folder("New");
    ASSERT_EQ(::link((m_tmp / "Old/a.txt").c_str(), (m_tmp / "New/a.txt").c_str()), 0);
    const ino_t inode = info("Old/a.txt").st_ino;
    ASSERT_TRUE(copyFolderContents(m_tmp / "Old", m_tmp / "New", true));
    EXPECT_EQ(info("New/a.txt").st_ino, inode);
    EXPECT_EQ(content("Old/a.txt"), "same file");
    EXPECT_TRUE(copyWithTimeStamps(m_tmp / "Old/a.txt", m_tmp / "Old/a.txt"));
    EXPECT_EQ(content("Old/a.txt"), "same file");
}

// Links are copied as links: a link to a folder outside does not bring the
// folder's content along, and nothing is written through a link.
TEST_F(CopyTest, LinksAreCopiedAsLinksAndNeverFollowed) {
    put("outside/secret.txt", "not to be copied");
    put("Old/a.txt", "alpha");
    link(m_tmp / "outside", "Old/to-folder");
    link("a.txt", "Old/to-file");
    link(m_tmp / "nowhere", "Old/dangling");
    folder("to");
    ASSERT_TRUE(copyWithTimeStamps(m_tmp / "Old", m_tmp / "to"));
    EXPECT_EQ(linkTarget("to/Old/to-folder"), m_tmp / "outside");
    EXPECT_EQ(linkTarget("to/Old/to-file"), "a.txt");
    EXPECT_EQ(linkTarget("to/Old/dangling"), m_tmp / "nowhere");
    std::vector<std::string> outside;
    Poco::File(m_tmp / "outside").list(outside);
    EXPECT_EQ(outside, std::vector<std::string>{"secret.txt"});
}

TEST_F(CopyTest, ALinkWhereAFolderMustGoStopsTheCopyWithoutWritingThroughIt) {
    put("Old/docs/b.txt", "bravo");
    folder("victim");
    folder("New");
    link(m_tmp / "victim", "New/docs");
    EXPECT_FALSE(copyFolderContents(m_tmp / "Old", m_tmp / "New", false));
    EXPECT_FALSE(exists("victim/b.txt"));
}

TEST_F(CopyTest, AFileWhereAFolderMustGoStopsTheCopy) {
    put("Old/docs/b.txt", "bravo");
    put("New/docs", "a file");
    EXPECT_FALSE(copyFolderContents(m_tmp / "Old", m_tmp / "New", true));
    EXPECT_EQ(content("New/docs"), "a file");
}

TEST_F(CopyTest, PipesAndOtherSpecialFilesArePassedOver) {
    put("Old/a.txt", "alpha");
    ASSERT_EQ(::mkfifo((m_tmp / "Old/pipe").c_str(), 0600), 0);
    folder("to");
    ASSERT_TRUE(copyWithTimeStamps(m_tmp / "Old", m_tmp / "to"));
    EXPECT_EQ(content("to/Old/a.txt"), "alpha");
    EXPECT_FALSE(exists("to/Old/pipe"));
}

} // namespace
