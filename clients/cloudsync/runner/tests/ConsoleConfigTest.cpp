// The helpers of the two configuration files: how a file is found missing or
// unreadable, the selective-sync list, the permission check, and the checks
// of the server URL and the proxy port.

#include "ConsoleConfig.h"

#include "TempFolder.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Nuvaro::Sync::ConfigFileState;

TEST(ConsoleConfig, AFileIsReadMissingOrUnreadableButNeverTakenForMissing) {
    CloudSyncTest::TempFolder tmp;
    Nuvaro::Data::VariantRow row;
    std::string error;
    EXPECT_EQ(Nuvaro::Sync::readConfigFile(tmp / "absent.xml", row, error), ConfigFileState::Missing);

    tmp.write("good.xml", "<config><loglevel>debug</loglevel></config>");
    EXPECT_EQ(Nuvaro::Sync::readConfigFile(tmp / "good.xml", row, error), ConfigFileState::Read);
    EXPECT_EQ(Nuvaro::Sync::configText(row, "loglevel"), "debug");
    EXPECT_EQ(Nuvaro::Sync::configText(row, "absent"), "");
    EXPECT_FALSE(row.hasField("absent"));

    tmp.write("broken.xml", "<config><loglevel>");
    Poco::File(tmp / "folder.xml").createDirectories();
    ASSERT_EQ(::symlink((tmp / "nowhere.xml").c_str(), (tmp / "dangling.xml").c_str()), 0);
    for (const char* name : {"broken.xml", "folder.xml", "dangling.xml"}) {
        error.clear();
        EXPECT_EQ(Nuvaro::Sync::readConfigFile(tmp / name, row, error), ConfigFileState::Unreadable) << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
}

TEST(ConsoleConfig, LimitFoldersDropEmptyPiecesAndKeepTheRest) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Nuvaro::Sync::splitLimitFolders("|/u/Docs||/u/My Projects|"), (V{"/u/Docs", "/u/My Projects"}));
    EXPECT_EQ(Nuvaro::Sync::splitLimitFolders(" /a | /b"), (V{" /a ", " /b"}));
    EXPECT_EQ(Nuvaro::Sync::splitLimitFolders(""), V{});
    EXPECT_EQ(Nuvaro::Sync::splitLimitFolders("|||"), V{});
}

TEST(ConsoleConfig, ReadableByOthersLooksAtGroupAndOthers) {
    CloudSyncTest::TempFolder tmp;
    const std::string file = tmp.write("syncconconfig.xml", "<config/>");
    struct Case {
        mode_t mode;
        bool readable;
    };
    for (const Case& c : std::vector<Case>{{0600, false}, {0400, false}, {0640, true}, {0604, true}, {0620, false}}) {
        ::chmod(file.c_str(), c.mode);
        EXPECT_EQ(Nuvaro::Sync::readableByOthers(file), c.readable) << std::oct << c.mode;
    }
    EXPECT_FALSE(Nuvaro::Sync::readableByOthers(tmp / "absent.xml"));
}

TEST(ConsoleConfig, ServerUrlNeedsHttpOrHttpsAndAHost) {
    for (const char* good : {"http://127.0.0.1:8080", "https://files.example.com", "HTTPS://files.example.com/"})
        EXPECT_EQ(Nuvaro::Sync::serverUrlProblem(good), "") << good;
    for (const char* bad : {"", "files.example.com", "ftp://files.example.com", "http://", "http://host:99999",
                            "http://[::1"})
        EXPECT_NE(Nuvaro::Sync::serverUrlProblem(bad), "") << bad;
}

TEST(ConsoleConfig, ProxyPortMustBeANumberWhenAProxyIsSet) {
    EXPECT_EQ(Nuvaro::Sync::proxyProblem("", ""), "");
    EXPECT_EQ(Nuvaro::Sync::proxyProblem("proxy", ""), "");
    EXPECT_EQ(Nuvaro::Sync::proxyProblem("", "abc"), "");
    EXPECT_EQ(Nuvaro::Sync::proxyProblem("proxy", "3128"), "");
    for (const char* bad : {"abc", "0", "65536", "31 28", "-1"})
        EXPECT_NE(Nuvaro::Sync::proxyProblem("proxy", bad), "") << bad;
}

} // namespace
