// What a remote wipe may remove: plain folder names, and job folders that are
// not the whole disk, the home folder or a folder holding the program's own.

#include "WipeGuard.h"

#include "TempFolder.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using Nuvaro::Sync::isSameOrInside;
using Nuvaro::Sync::isSameOrInsideEitherWay;
using Nuvaro::Sync::isSingleFolderName;
using Nuvaro::Sync::resolvedAbsolutePath;
using Nuvaro::Sync::normalizedAbsolutePath;
using Nuvaro::Sync::wipeRefusal;

TEST(WipeGuard, NormalisesAbsolutePathsByText) {
    EXPECT_EQ(normalizedAbsolutePath("/a//b/../c/"), "/a/c");
    EXPECT_EQ(normalizedAbsolutePath("/a/./b"), "/a/b");
    EXPECT_EQ(normalizedAbsolutePath("/.."), "/");
    EXPECT_EQ(normalizedAbsolutePath("/"), "/");
    EXPECT_EQ(normalizedAbsolutePath("a/b"), "");
    EXPECT_EQ(normalizedAbsolutePath(""), "");
}

TEST(WipeGuard, PlainFolderNames) {
    for (const char* good : {"Network Folders", "Team Folders", ".hidden", "a..b"})
        EXPECT_TRUE(isSingleFolderName(good)) << good;
    for (const char* bad : {"", ".", "..", "../x", "a/b", "/"})
        EXPECT_FALSE(isSingleFolderName(bad)) << bad;
}

struct InsideCase {
    std::string path;
    std::string folder;
    bool inside;
};

// "Inside" is by whole components: a path that merely begins with the
// folder's text, or holds it further on, is not inside it.
TEST(WipeGuard, InsideMeansTheFolderItselfOrBelowItByWholeComponents) {
    for (const InsideCase& c : std::vector<InsideCase>{{"/home/u/Sync", "/home/u/Sync", true},
                                                       {"/home/u/Sync/", "/home/u/Sync", true},
                                                       {"/home/u/Sync/a/b", "/home/u/Sync", true},
                                                       {"/home/u/Sync/a", "/home/u/Sync/", true},
                                                       {"/anything", "/", true},
                                                       {"/home/u/SyncOld/x", "/home/u/Sync", false},
                                                       {"/data/home/u/Sync/x", "/home/u/Sync", false},
                                                       {"/home/u", "/home/u/Sync", false},
                                                       {"/home/u/Sync/../Other", "/home/u/Sync", false},
                                                       {"relative/Sync", "/home/u/Sync", false},
                                                       {"/home/u/Sync", "", false}})
        EXPECT_EQ(isSameOrInside(c.path, c.folder), c.inside) << c.path << " in " << c.folder;
}

TEST(WipeGuard, InsideThroughALinkAndForPathsThatDoNotExistYet) {
    CloudSyncTest::TempFolder tmp;
    Poco::File(tmp / "real/sub").createDirectories();
    ASSERT_EQ(::symlink((tmp / "real").c_str(), (tmp / "alias").c_str()), 0);
    EXPECT_EQ(resolvedAbsolutePath(tmp / "alias/sub"), resolvedAbsolutePath(tmp / "real/sub"));
    EXPECT_EQ(resolvedAbsolutePath(tmp / "alias/new/deeper"), resolvedAbsolutePath(tmp / "real") + "/new/deeper");
    EXPECT_EQ(resolvedAbsolutePath("relative"), "");
    EXPECT_FALSE(isSameOrInside(tmp / "alias/new", tmp / "real"));
    EXPECT_TRUE(isSameOrInsideEitherWay(tmp / "alias/new", tmp / "real"));
    EXPECT_TRUE(isSameOrInsideEitherWay(tmp / "real", tmp / "alias"));
    EXPECT_FALSE(isSameOrInsideEitherWay(tmp / "real", tmp / "alias/sub"));
}

struct RefusalCase {
    std::string folder;
    bool refused;
};

void expectRefusals(const std::vector<std::string>& own, const std::string& home,
                    const std::vector<RefusalCase>& cases) {
    for (const RefusalCase& c : cases)
        EXPECT_EQ(!wipeRefusal(c.folder, own, home).empty(), c.refused) << c.folder;
}

TEST(WipeGuard, RefusesTheDiskTheHomeAndHoldersOfTheProgramsFolders) {
    expectRefusals({"/home/ann/Vaultpine", "/srv/data/client"}, "/home/ann",
                   {{"/", true},
                    {"/..", true},
                    {"/home", true},
                    {"/home/ann", true},
                    {"/home/ann/", true},
                    {"/home/./ann", true},
                    {"/home/ann/Vaultpine", true},
                    {"/srv", true},
                    {"/srv/data", true},
                    {"/srv/data/client", true},
                    {"relative", true},
                    {"", true},
                    {"/home/ann/Shared Drive", false},
                    {"/home/ann/Vaultpine/Network Folders/x", false},
                    {"/home/ann/Vaultpine2", false},
                    {"/srv/data/clients", false},
                    {"/srv/data/client/../other", false}});
}

// The home folder on its own: here the program's folders lie elsewhere, so
// only the home rule stands between these folders and a wipe.
TEST(WipeGuard, RefusesTheHomeFolderAndItsHoldersOnTheirOwn) {
    const std::vector<std::string> own{"/srv/sync/Vaultpine", "/srv/data/client"};
    const std::string home = "/home/ann";
    expectRefusals(own, home,
                   {{"/home/ann", true},
                    {"/home/ann/", true},
                    {"/home/./ann", true},
                    {"/home/bob/../ann", true},
                    {"/home", true},
                    {"/home/ann/Shared Drive", false},
                    {"/home/anna", false},
                    {"/home/bob", false}});
    EXPECT_EQ(wipeRefusal("/home/ann", own, home), "the home folder or a folder holding it");

    // A link to the home folder is the home folder.
    CloudSyncTest::TempFolder tmp;
    Poco::File(tmp / "users/ann").createDirectories();
    ASSERT_EQ(::symlink((tmp / "users/ann").c_str(), (tmp / "me").c_str()), 0);
    EXPECT_EQ(wipeRefusal(tmp / "me", own, tmp / "users/ann"), "the home folder or a folder holding it");
    EXPECT_EQ(wipeRefusal(tmp / "users/ann/Shared Drive", own, tmp / "me"), "");
}

TEST(WipeGuard, LinksAreResolvedWhereTheyExist) {
    CloudSyncTest::TempFolder tmp;
    Poco::File(tmp / "real/data").createDirectories();
    ASSERT_EQ(::symlink((tmp / "real").c_str(), (tmp / "alias").c_str()), 0);
    EXPECT_NE(wipeRefusal(tmp / "alias", {tmp / "real/data"}, "/nonexistent-home"), "");
    EXPECT_NE(wipeRefusal(tmp / "real", {tmp / "alias/data"}, "/nonexistent-home"), "");
    EXPECT_EQ(wipeRefusal(tmp / "real/data/sub", {tmp / "alias/data"}, "/nonexistent-home"), "");
}

} // namespace
