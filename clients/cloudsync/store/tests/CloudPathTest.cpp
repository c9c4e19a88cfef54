#include "CloudPath.h"

#include <gtest/gtest.h>

#include <string>

using Nuvaro::Sync::CloudPath;

namespace {

enum class Direction { ToLocal, ToRemote };

struct Case {
    Direction direction;
    std::string path;
    bool noExternal;
    std::string expected;
};

// The configuration every case runs with.
const std::string kAccount = "acct1";
const std::string kNetworkRoot = "Network Folders";
const std::string kTeamRoot = "Team Folders";
const std::string kTeamAccount = "teamacct";

std::string translate(const Case& c) {
    if (c.direction == Direction::ToLocal)
        return CloudPath::translateToLocalPath(kAccount, c.path, kNetworkRoot, kTeamRoot, kTeamAccount, c.noExternal);
    return CloudPath::translateToRemotePath(kAccount, c.path, kNetworkRoot, kTeamRoot, kTeamAccount, c.noExternal);
}

std::string describe(const Case& c) {
    return std::string(c.direction == Direction::ToLocal ? "to local " : "to remote ") + "'" + c.path + "'" +
           (c.noExternal ? " noExternal" : "");
}

void expectAll(const std::vector<Case>& cases) {
    for (const auto& c : cases) EXPECT_EQ(translate(c), c.expected) << describe(c);
}

const auto L = Direction::ToLocal;
const auto R = Direction::ToRemote;

} // namespace

TEST(CloudPath, TranslatesBetweenServerAndLocalRoots) {
    expectAll({
        {L, "/acct1/docs/a.txt", false, "My Files/docs/a.txt"},
        {L, "/acct1", false, "My Files"},
        {L, "/", false, ""},
        {L, "", false, ""},
        {L, "/SHARED/owner2/x.txt", false, "Shared with Me/owner2/x.txt"},
        {L, "/SHARED", false, "Shared with Me"},
        {L, "/SHARED/teamacct/plans/p.doc", false, "Team Folders/plans/p.doc"},
        {L, "/SHARED/teamacct", false, "Team Folders"},
        {L, "/EXTERNAL/share1/f.txt", false, "Network Folders/share1/f.txt"},
        {L, "/EXTERNAL/share1/f.txt", true, ""},
        {L, "/otheracct/x", false, ""},
        {L, "//acct1//docs/", false, "My Files/docs"},
        {R, "My Files/docs/a.txt", false, "/acct1/docs/a.txt"},
        {R, "My Files", false, "/acct1"},
        {R, "Shared with Me/owner2/x.txt", false, "/SHARED/owner2/x.txt"},
        {R, "Shared with Me/owner2", false, ""},
        {R, "Shared with Me/teamacct/x", false, ""},
        {R, "Team Folders/plans/p.doc", false, "/SHARED/teamacct/plans/p.doc"},
        {R, "Team Folders", false, ""},
        {R, "Network Folders/share1/f.txt", false, "/EXTERNAL/share1/f.txt"},
        {R, "Network Folders/share1/f.txt", true, ""},
        {R, "Network Folders", false, ""},
        {R, "Other/x", false, ""},
    });
}

TEST(CloudPath, ComponentsCompareExactlyAndKeepTheirText) {
    expectAll({
        {L, "/ACCT1/docs", false, ""},                        // letter case counts
        {L, "/shared/owner2", false, ""},
        {L, "/acct1/My Docs/ a b .txt", false, "My Files/My Docs/ a b .txt"},
        {L, "/acct1/.hidden/..x/x..", false, "My Files/.hidden/..x/x.."},  // dots inside names are names
        {R, "my files/a", false, ""},
        {R, "/My Files/a/", false, "/acct1/a"},
        {L, "/SHARED/teamacct2/x", false, "Shared with Me/teamacct2/x"},
    });
}

TEST(CloudPath, TestOrderDecidesBetweenFixedAndConfiguredNames) {
    // An account named SHARED is the user's own folder, not the shares.
    EXPECT_EQ(CloudPath::translateToLocalPath("SHARED", "/SHARED/a", kNetworkRoot, kTeamRoot, kTeamAccount, false),
              "My Files/a");
    // A team root named like a fixed root never matches on the way back.
    EXPECT_EQ(CloudPath::translateToRemotePath(kAccount, "My Files/a", kNetworkRoot, "My Files", kTeamAccount, false),
              "/acct1/a");
    EXPECT_EQ(CloudPath::translateToRemotePath(kAccount, "Shared with Me/x", kNetworkRoot, "Shared with Me",
                                               kTeamAccount, false),
              "");
    // noExternal does not stop the team root, which is tested before it.
    EXPECT_EQ(CloudPath::translateToRemotePath(kAccount, "Team Folders/a", kNetworkRoot, kTeamRoot, kTeamAccount, true),
              "/SHARED/teamacct/a");
}

TEST(CloudPath, RefusesDotComponentsThatCouldLeaveTheSyncFolder) {
    const std::string nul("\0", 1);
    expectAll({
        {L, "/acct1/..", false, ""},
        {L, "/acct1/../../etc/passwd", false, ""},
        {L, "/SHARED/owner2/../../x", false, ""},
        {L, "/SHARED/teamacct/./plans", false, ""},
        {L, "/EXTERNAL/..", false, ""},
        {L, "/../acct1/a", false, ""},
        {L, "/acct1/.", false, ""},
        {L, "/acct1/a" + nul + "/b", false, ""},
        {R, "My Files/../otheracct/x", false, ""},
        {R, "Shared with Me/owner2/../../acct2/x", false, ""},
        {R, "Network Folders/share1/../..", false, ""},
        {R, "./My Files/a", false, ""},
    });
}

// The root and account names come from the server's status reply: a name
// that is not one path component must not reach a path.
TEST(CloudPath, RootAndAccountNamesThatAreNotOneComponentAreRefused) {
    const std::string nul("\0", 1);
    for (const std::string& bad : {std::string("../../.ssh"), std::string("/etc"), std::string(""),
                                  std::string("a") + nul + "b", std::string("."), std::string(".."),
                                  std::string("a/b")}) {
        SCOPED_TRACE("name '" + bad + "'");
        // Team root and network root, on the way to local paths.
        EXPECT_EQ(CloudPath::translateToLocalPath(kAccount, "/SHARED/teamacct/authorized_keys", kNetworkRoot, bad,
                                                  kTeamAccount, false),
                  "");
        EXPECT_EQ(CloudPath::translateToLocalPath(kAccount, "/SHARED/teamacct", kNetworkRoot, bad, kTeamAccount,
                                                  false),
                  "");
        EXPECT_EQ(CloudPath::translateToLocalPath(kAccount, "/EXTERNAL/share1/f", bad, kTeamRoot, kTeamAccount,
                                                  false),
                  "");
        // The account and the team-folder account, on the way to server paths.
        EXPECT_EQ(CloudPath::translateToRemotePath(bad, "My Files/x", kNetworkRoot, kTeamRoot, kTeamAccount, false),
                  "");
        EXPECT_EQ(CloudPath::translateToRemotePath(bad, "My Files", kNetworkRoot, kTeamRoot, kTeamAccount, false), "");
        EXPECT_EQ(CloudPath::translateToRemotePath(kAccount, "Team Folders/x", kNetworkRoot, kTeamRoot, bad, false),
                  "");
        // Paths that do not use the bad name still translate.
        EXPECT_EQ(CloudPath::translateToLocalPath(kAccount, "/acct1/a", bad, bad, bad, false), "My Files/a");
        EXPECT_EQ(CloudPath::translateToLocalPath(kAccount, "/SHARED/owner2/x", kNetworkRoot, bad, kTeamAccount,
                                                  false),
                  "Shared with Me/owner2/x");
    }
}

TEST(CloudPath, SoundRelativePathsStayBelowTheirRoot) {
    struct Case {
        std::string path;
        bool sound;
    };
    const Case cases[] = {
        {"My Files/a.txt", true},     {"My Files/.hidden/a..b", true}, {"a", true},
        {"", false},                  {"/My Files/a.txt", false},      {"My Files//a.txt", false},
        {"My Files/a.txt/", false},   {"My Files/../x", false},        {"./a", false},
        {"a/.", false},               {std::string("a\0b", 3), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.sound, CloudPath::isSoundRelativePath(c.path)) << c.path;
}

TEST(CloudPath, StoredAndNativeFormsAreTheSamePath) {
    for (const std::string path : {"", "/", "My Files/a b/c.txt", "a\\b"}) {
        EXPECT_EQ(CloudPath::convertToStdPath(path), path);
        EXPECT_EQ(CloudPath::convertToNativePath(path), path);
    }
}
