#include "FSUtil.h"

#include "FileModes.h"
#include "TempFolder.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Nuvaro::Sync;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st;
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// "é" composed (NFC) and decomposed (NFD).
const std::string kComposed = "caf\xC3\xA9.txt";
const std::string kDecomposed = "cafe\xCC\x81.txt";

TEST(CaseSensitiveFileExists, IgnoresCompositionButNotCase) {
    CloudSyncTest::TempFolder tmp;
    tmp.write("nfd/" + kDecomposed, "d");
    tmp.write("nfc/" + kComposed, "c");
    tmp.write("case/Report.txt", "r");

    EXPECT_TRUE(caseSensitiveFileExists(tmp / ("nfd/" + kComposed)));
    EXPECT_TRUE(caseSensitiveFileExists(tmp / ("nfd/" + kDecomposed)));
    EXPECT_TRUE(caseSensitiveFileExists(tmp / ("nfc/" + kDecomposed)));
    EXPECT_TRUE(caseSensitiveFileExists(tmp / "case/Report.txt"));
    EXPECT_FALSE(caseSensitiveFileExists(tmp / "case/report.txt"));
    EXPECT_FALSE(caseSensitiveFileExists(tmp / "missing/Report.txt"));
    EXPECT_FALSE(caseSensitiveFileExists(tmp / "case/\xFF\xFE.txt"));
}

TEST(GreedyRecursiveWipe, RemovesATreeButNothingALinkPointsTo) {
    CloudSyncTest::TempFolder tmp;
    std::string outsideFile = tmp.write("outside/keep.txt", "keep");
    tmp.write("tree/a/b/c.txt", "c");
    tmp.write("tree/top.txt", "t");
    ASSERT_EQ(::symlink((tmp / "outside").c_str(), (tmp / "tree/a/link").c_str()), 0);
    ASSERT_EQ(::symlink(outsideFile.c_str(), (tmp / "tree/filelink").c_str()), 0);

    EXPECT_TRUE(greedyRecursiveWipe(tmp / "tree"));
    EXPECT_FALSE(exists(tmp / "tree"));
    EXPECT_TRUE(exists(outsideFile));
    EXPECT_TRUE(exists(tmp / "outside"));
}

TEST(GreedyRecursiveWipe, RefusesFilesLinksAndMissingPaths) {
    CloudSyncTest::TempFolder tmp;
    std::string file = tmp.write("file.txt", "f");
    std::string target = tmp.write("target/inner.txt", "i");
    ASSERT_EQ(::symlink((tmp / "target").c_str(), (tmp / "dirlink").c_str()), 0);

    EXPECT_FALSE(greedyRecursiveWipe(file));
    EXPECT_TRUE(exists(file));
    EXPECT_FALSE(greedyRecursiveWipe(tmp / "dirlink"));
    EXPECT_FALSE(greedyRecursiveWipe(tmp / "dirlink/"));
    EXPECT_TRUE(exists(target));
    EXPECT_FALSE(greedyRecursiveWipe(tmp / "missing"));
    EXPECT_FALSE(greedyRecursiveWipe(""));
}

TEST(SetCustomPermissions, RestrictsTheTreeWithoutShellOrLinks) {
    CloudSyncTest::TempFolder tmp;
    // A name a shell would run as a second command.
    const std::string folder = tmp / "data'; touch pwned; '";
    std::string inner = tmp.write("data'; touch pwned; '/sub/f.txt", "f");
    std::string outside = tmp.write("outside.txt", "o");
    ::chmod(inner.c_str(), 0644);
    ::chmod(outside.c_str(), 0644);
    ::chmod((folder + "/sub").c_str(), 0755);
    ASSERT_EQ(::symlink(outside.c_str(), (folder + "/link").c_str()), 0);

    setCustomPermissions(folder);

    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + "/sub"), 0700u);
    EXPECT_EQ(modeOf(inner), 0700u);
    EXPECT_EQ(modeOf(outside), 0644u);
    EXPECT_FALSE(exists(tmp / "pwned"));
    EXPECT_FALSE(exists("pwned"));
    EXPECT_NO_THROW(setCustomPermissions(tmp / "missing"));

    // A link given as the folder itself is not followed either.
    std::string linkedDir = tmp / "linked";
    Poco::File(linkedDir).createDirectories();
    ::chmod(linkedDir.c_str(), 0755);
    ASSERT_EQ(::symlink(linkedDir.c_str(), (tmp / "dirlink").c_str()), 0);
    setCustomPermissions(tmp / "dirlink");
    setCustomPermissions(tmp / "dirlink/");
    EXPECT_EQ(modeOf(linkedDir), 0755u);
}

TEST(PrivateFolders, MissingFoldersAreMadeForTheOwnerOnlyWhateverTheUmask) {
    CloudSyncTest::TempFolder tmp;
    CloudSyncTest::UmaskScope open(0);
    Poco::File(tmp / "have").createDirectories();
    ::chmod((tmp / "have").c_str(), 0755);
    tmp.write("file", "f");

    EXPECT_TRUE(createPrivateFolders(tmp / "have/a/b"));
    EXPECT_EQ(modeOf(tmp / "have"), 0755u);
    EXPECT_EQ(modeOf(tmp / "have/a"), 0700u);
    EXPECT_EQ(modeOf(tmp / "have/a/b"), 0700u);
    EXPECT_TRUE(createPrivateFolders(tmp / "have/a/b"));
    EXPECT_FALSE(createPrivateFolders(tmp / "file/x"));
    EXPECT_FALSE(createPrivateFolders(tmp / "file"));
}

TEST(PrivateFolders, AnExistingFolderIsMadePrivateButNeverThroughALink) {
    CloudSyncTest::TempFolder tmp;
    Poco::File(tmp / "open").createDirectories();
    Poco::File(tmp / "target").createDirectories();
    ::chmod((tmp / "open").c_str(), 0755);
    ::chmod((tmp / "target").c_str(), 0755);
    ASSERT_EQ(::symlink((tmp / "target").c_str(), (tmp / "link").c_str()), 0);
    tmp.write("file", "f");

    EXPECT_TRUE(makeFolderPrivate(tmp / "open"));
    EXPECT_EQ(modeOf(tmp / "open"), 0700u);
    EXPECT_FALSE(makeFolderPrivate(tmp / "link"));
    EXPECT_EQ(modeOf(tmp / "target"), 0755u);
    EXPECT_FALSE(makeFolderPrivate(tmp / "file"));
    EXPECT_FALSE(makeFolderPrivate(tmp / "missing"));
}

TEST(UsualNewFileMode, IsWhatTheUmaskLeavesOf0666) {
    for (const mode_t mask : {0000, 0022, 0077, 0027}) {
        CloudSyncTest::UmaskScope set(mask);
        EXPECT_EQ(usualNewFileMode(), 0666 & ~mask) << std::oct << mask;
    }
}

TEST(PathText, SplitFolder) {
    struct {
        const char* path;
        const char* parentBefore;
        const char* name;
        const char* parent;
    } cases[] = {
        {"/docs/a.txt", "", "a.txt", "/docs/"},
        {"docs/sub/a.txt", "base/", "a.txt", "base/docs/sub/"},
        {"a.txt", "kept", "a.txt", "kept"},
        {"a//b", "", "b", "a//"},
        {"", "kept", "old", "kept"},
    };
    for (const auto& c : cases) {
        std::string name = "old", parent = c.parentBefore;
        FSUtilSplitFolder(c.path, name, parent);
        EXPECT_EQ(name, c.name) << c.path;
        EXPECT_EQ(parent, c.parent) << c.path;
    }
}

TEST(PathText, SlashTrimming) {
    struct {
        const char* in;
        const char* endingRemoved;
        const char* doubleRemoved;
    } cases[] = {
        {"/", "/", "/"},
        {"", "", ""},
        {"a/", "a", "a/"},
        {"a\\", "a", "a\\"},
        {"/a//b", "/a//b", "/a/b"},
        {"a///b/", "a///b", "a//b/"},
        {"a\\\\b", "a\\\\b", "a\\b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FSUtilRemoveEndingSlash(c.in), c.endingRemoved) << c.in;
        EXPECT_EQ(FSUtilRemoveDoubleSlash(c.in), c.doubleRemoved) << c.in;
    }
    EXPECT_FALSE(isUNCPath("//server/share"));
    EXPECT_EQ(getLongPrefix("/a/b"), "/a/b");
    EXPECT_FALSE(DeleteDirectoryWin32("/a", true));
}

} // namespace
