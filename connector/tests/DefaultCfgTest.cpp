#include "nuvarocbfs_DefaultCfg.h"

#include <Poco/Environment.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <gtest/gtest.h>

#include <fstream>

using namespace Nuvaro;

namespace {

// Points HOME (and USER) at a temporary folder for the duration of a test.
class FakeHome {
public:
    FakeHome() : m_oldHome(Poco::Environment::get("HOME", "")), m_hadUser(Poco::Environment::has("USER")),
                 m_oldUser(Poco::Environment::get("USER", "")) {
        m_dir = Poco::TemporaryFile::tempName();
        Poco::File(m_dir + "/Library/Preferences").createDirectories();
        Poco::Environment::set("HOME", m_dir + "/");
        Poco::Environment::set("USER", "alice");
    }
    ~FakeHome() {
        Poco::Environment::set("HOME", m_oldHome);
        if (m_hadUser) Poco::Environment::set("USER", m_oldUser);
        else unsetenv("USER");
        Poco::File(m_dir).remove(true);
    }
    void writePlist(const std::string& dictBody) {
        std::ofstream out(getDefaultCfgPath(m_dir));
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x.dtd\">\n"
               "<plist version=\"1.0\"><dict>\n"
            << dictBody << "\n</dict></plist>\n";
    }
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
    std::string m_oldHome;
    bool m_hadUser;
    std::string m_oldUser;
};

NuvaroDefaultCfg readAsPlatformOne() {
    NuvaroDefaultCfg cfg;
    cfg.platform = 1;
    cfg.init();
    return cfg;
}

} // namespace

TEST(DefaultCfg, ConsoleProgramReadsNothing) {
    FakeHome home;
    home.writePlist("<key>url</key><string>https://x</string>");
    NuvaroDefaultCfg cfg;
    std::vector<std::string> keys;
    cfg.getAllKeys(keys);
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(cfg.getString("url"), "");
    EXPECT_EQ(cfg.getExpandedString("url"), "");
}

TEST(DefaultCfg, PropertyListRules) {
    FakeHome home;
    home.writePlist(
        "<key>folder</key><string>${HOME}/Sync/${USER}</string>\n"
        "<key> spaced </key><string>  inner  space  </string>\n"
        "<key>dup</key><string>first</string>\n"
        "<key>dup</key><string>second</string>\n"
        "<key>count</key><integer>5</integer><string>after-integer</string>\n"
        "<key>flag</key><true/>\n"
        "<key>list</key><array><string>a</string><string>b</string></array>\n"
        "<key>amp</key><string>a&amp;b</string>");
    NuvaroDefaultCfg cfg = readAsPlatformOne();

    EXPECT_EQ(cfg.getExpandedString("folder"), home.dir() + "/Sync/alice");
    EXPECT_EQ(cfg.getString("folder"), "${HOME}/Sync/${USER}");
    EXPECT_EQ(cfg.getString("spaced"), "inner  space");
    EXPECT_EQ(cfg.getString("dup"), "first");
    EXPECT_EQ(cfg.getString("count"), "after-integer");
    EXPECT_EQ(cfg.getString("flag"), "");
    EXPECT_EQ(cfg.getString("list"), "a");
    EXPECT_EQ(cfg.getString("amp"), "a&b");

    std::vector<std::string> keys{"already"};
    cfg.getAllKeys(keys);
    EXPECT_EQ(keys, (std::vector<std::string>{"already", "amp", "count", "dup", "folder", "list", "spaced"}));
}

TEST(DefaultCfg, MissingOrDamagedFileLeavesWhatWasRead) {
    {
        FakeHome home;
        NuvaroDefaultCfg cfg = readAsPlatformOne();
        std::vector<std::string> keys;
        cfg.getAllKeys(keys);
        EXPECT_TRUE(keys.empty());
    }
    {
        FakeHome home;
        std::ofstream(getDefaultCfgPath(home.dir()))
            << "<plist><dict><key>a</key><string>1</string><key>b</key><string>2";
        NuvaroDefaultCfg cfg = readAsPlatformOne();
        EXPECT_EQ(cfg.getString("a"), "1");
        EXPECT_EQ(cfg.getString("b"), "");
    }
}

TEST(DefaultCfg, UserNameFallsBackToAccountDatabaseWhenUserIsUnset) {
    FakeHome home;
    home.writePlist("<key>who</key><string>${USER}</string><key>plain</key><string>p</string>");
    NuvaroDefaultCfg cfg = readAsPlatformOne();
    unsetenv("USER");
    EXPECT_EQ(cfg.getExpandedString("plain"), "p");
    EXPECT_FALSE(cfg.getExpandedString("who").empty());
    EXPECT_EQ(cfg.getExpandedString("who"), getCurrentUserName());
}

TEST(DefaultCfg, HomeWithoutTrailingSlash) {
    const std::string old = Poco::Environment::get("HOME", "");
    Poco::Environment::set("HOME", "/");
    EXPECT_EQ(getCurrentHomePath(), "");
    Poco::Environment::set("HOME", "/home/bob/");
    EXPECT_EQ(getCurrentHomePath(), "/home/bob");
    Poco::Environment::set("HOME", old);
}
