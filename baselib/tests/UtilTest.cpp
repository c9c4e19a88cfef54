#include "NuvaroException.h"
#include "NuvaroUtil.h"
#include "TempFolder.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Environment.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/SHA1Engine.h>

#include <gtest/gtest.h>

#include <fstream>
#include <type_traits>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

using CloudSyncTest::TempFolder;

namespace Util = Nuvaro::Util;

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Bytes that differ from block to block, longer than one read block.
std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919u) >> 3);
    return bytes;
}

class FileCRCTest : public ::testing::Test {
protected:
    void SetUp() override {
        content = patternBytes(600 * 1024 + 17);
        writeFile(temp.file("a"), content);
        writeFile(temp.file("copy"), content);
        std::string changed = content;
        changed[400 * 1024] ^= 1;  // one bit, past the first read block
        writeFile(temp.file("changed"), changed);
    }

    std::string crcOf(const std::string& name, long start = -1, long length = -1) {
        std::string crc;
        EXPECT_TRUE(Util::getFileCRC(temp.file(name), crc, start, length, nullptr)) << name;
        return crc;
    }

    TempFolder temp;
    std::string content;
};

} // namespace

TEST_F(FileCRCTest, SameBytesGiveTheSameTextAndOtherBytesAnother) {
    std::string crc = crcOf("a");
    EXPECT_EQ(crc.size(), 16u);
    EXPECT_EQ(crc.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(crcOf("copy"), crc);
    EXPECT_NE(crcOf("changed"), crc);
    writeFile(temp.file("empty"), "");
    EXPECT_NE(crcOf("empty"), crc);
}

TEST_F(FileCRCTest, ARangeCoversExactlyItsBytes) {
    const long size = static_cast<long>(content.size());
    // Whole file: both -1, or 0 and the size, or a length past the end.
    EXPECT_EQ(crcOf("a", 0, size), crcOf("a"));
    EXPECT_EQ(crcOf("a", -1, size + 1000), crcOf("a"));
    // A middle range equals the checksum of a file holding just those bytes.
    writeFile(temp.file("slice"), content.substr(1000, 300000));
    EXPECT_EQ(crcOf("a", 1000, 300000), crcOf("slice"));
    // A change outside the range does not count, inside it does.
    EXPECT_EQ(crcOf("changed", 0, 400 * 1024), crcOf("a", 0, 400 * 1024));
    EXPECT_NE(crcOf("changed", 0, 400 * 1024 + 1), crcOf("a", 0, 400 * 1024 + 1));
    writeFile(temp.file("empty"), "");
    EXPECT_EQ(crcOf("a", size, 10), crcOf("empty"));
    EXPECT_EQ(crcOf("a", 5, 0), crcOf("empty"));
}

TEST_F(FileCRCTest, FailuresReturnFalseAndLeaveTheTextAlone) {
    volatile bool cancelled = true;
    volatile bool running = false;
    struct Case {
        std::string path;
        long start;
        long length;
        volatile bool* cancel;
    };
    const Case failures[] = {
        {temp.file("missing"), -1, -1, nullptr},
        {temp.path(), -1, -1, nullptr},   // a folder
        {temp.file("a"), -1, -1, &cancelled},
        {temp.file("a"), -2, 10, nullptr},
        {temp.file("a"), 0, -5, nullptr},
    };
    for (const auto& c : failures) {
        std::string crc = "unchanged";
        EXPECT_FALSE(Util::getFileCRC(c.path, crc, c.start, c.length, c.cancel)) << c.path;
        EXPECT_EQ(crc, "unchanged");
    }
    std::string crc;
    EXPECT_TRUE(Util::getFileCRC(temp.file("a"), crc, -1, -1, &running));
    EXPECT_EQ(crc, crcOf("a"));

    if (::geteuid() != 0) {  // root reads anything
        ::chmod(temp.file("a").c_str(), 0);
        std::string unreadable = "unchanged";
        EXPECT_FALSE(Util::getFileCRC(temp.file("a"), unreadable, -1, -1, nullptr));
        EXPECT_EQ(unreadable, "unchanged");
    }
}

// ---- Replacing a file through a temporary one ----

namespace {

// The names in a folder that look like temporary files of a replacement.
int temporaryFiles(const TempFolder& folder) {
    std::vector<std::string> names;
    Poco::File(folder.path()).list(names);
    int found = 0;
    for (const std::string& name : names)
        if (Util::isReplacementTemporaryName(name))
            ++found;
    return found;
}

} // namespace

TEST(ReplaceFileFrom, CopiesTheSourceOverTheTargetWithItsTime) {
    TempFolder temp;
    writeFile(temp.file("source"), "new content");
    writeFile(temp.file("target"), "old");
    ::chmod(temp.file("target").c_str(), 0640);
    const Poco::Timestamp when = Poco::Timestamp::fromEpochTime(1700000000);
    std::string error;

    ASSERT_TRUE(Util::replaceFileFrom(temp.file("target"), temp.file("source"), &when, error)) << error;

    EXPECT_EQ(TempFolder::read(temp.file("target")), "new content");
    EXPECT_EQ(TempFolder::read(temp.file("source")), "new content");
    EXPECT_EQ(Poco::File(temp.file("target")).getLastModified().epochTime(), 1700000000);
    struct stat info;
    ASSERT_EQ(::stat(temp.file("target").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(temporaryFiles(temp), 0);

    // A new file gets the usual permissions.
    const mode_t mask = ::umask(022);
    ASSERT_TRUE(Util::replaceFileFrom(temp.file("fresh"), temp.file("source"), nullptr, error)) << error;
    ::umask(mask);
    ASSERT_EQ(::stat(temp.file("fresh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST(ReplaceFileFrom, FailuresLeaveTheTargetAsItWas) {
    TempFolder temp;
    writeFile(temp.file("target"), "old");
    Poco::File(temp.file("folder")).createDirectories();
    writeFile(temp.file("source"), "new");
    struct Case {
        std::string target;
        std::string source;
        const char* reason;
    } failures[] = {
        {temp.file("target"), temp.file("missing"), "Cannot read"},
        {temp.file("target"), temp.file("folder"), "not a file"},
        {temp.file("folder"), temp.file("source"), "a folder of that name exists"},
        {temp.file("no/such/folder/target"), temp.file("source"), "Cannot create"},
    };
    for (const Case& c : failures) {
        std::string error;
        EXPECT_FALSE(Util::replaceFileFrom(c.target, c.source, nullptr, error)) << c.target;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    EXPECT_EQ(TempFolder::read(temp.file("target")), "old");
    EXPECT_TRUE(Poco::File(temp.file("folder")).isDirectory());
    EXPECT_EQ(temporaryFiles(temp), 0);
}

TEST(ReplaceFileFrom, LongNamesStillGetATemporaryFile) {
    TempFolder temp;
    const std::string name(250, 'n');
    writeFile(temp.file("source"), "content");
    std::string error;
    ASSERT_TRUE(Util::replaceFileFrom(temp.file(name), temp.file("source"), nullptr, error)) << error;
    EXPECT_EQ(TempFolder::read(temp.file(name)), "content");
}

TEST(ReplaceFileFrom, TemporaryNamesAreRecognised) {
    EXPECT_TRUE(Util::isReplacementTemporaryName(".a.txt.0f8fad5b-d9cb-469f-a165-70867728950e.tmp"));
    EXPECT_FALSE(Util::isReplacementTemporaryName("a.txt.0f8fad5b-d9cb-469f-a165-70867728950e.tmp"));
    EXPECT_FALSE(Util::isReplacementTemporaryName(".a.txt.0f8fad5b-d9cb-469f-a165-70867728950e.tmpx"));
    EXPECT_FALSE(Util::isReplacementTemporaryName(".a.txt.0f8fad5b-d9cb-469f-a165-7086772895.tmp"));
    EXPECT_FALSE(Util::isReplacementTemporaryName(".site.tmp"));
    EXPECT_FALSE(Util::isReplacementTemporaryName("a.tmp.docx"));
}

TEST(Util, SplitFolderGivesTheLastNameAndItsFolder) {
    struct Case {
        std::string path;
        std::string name;
        std::string folder;
    };
    const Case cases[] = {
        {"/a/b/c.txt", "c.txt", "/a/b"},
        {"/a/b/", "b", "/a"},
        {"/a/b//", "b", "/a"},
        {"/a//b", "b", "/a"},
        {"/c.txt", "c.txt", "/"},
        {"c.txt", "c.txt", ""},
        {"a/b", "b", "a"},
        {"a\\b\\c", "c", "a\\b"},
        {"/home/u/My Files/x y.doc", "x y.doc", "/home/u/My Files"},
        {"/", "", "/"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string name = "old name", folder = "old folder";
        Util::splitFolder(c.path, name, folder);
        EXPECT_EQ(name, c.name) << c.path;
        EXPECT_EQ(folder, c.folder) << c.path;
    }
}

TEST(Util, TextHelpers) {
    struct Pair {
        std::string in;
        std::string out;
    };
    for (const auto& c : std::vector<Pair>{{"/a", "/a/"}, {"/a/", "/a/"}, {"a\\", "a\\"}, {"", ""}, {"/", "/"}}) {
        std::string out = "stale";
        Util::addEndingSeparator(c.in, out);
        EXPECT_EQ(out, c.out) << c.in;
    }
    for (const auto& c : std::vector<Pair>{{"  a b \t\r\n", "a b"}, {"\n", ""}, {"x", "x"}, {"", ""}})
        EXPECT_EQ(Util::trim(c.in), c.out);

    struct Size {
        Poco::Int64 bytes;
        std::string text;
    };
    for (const auto& c : std::vector<Size>{{0, "0 bytes"},
                                           {1, "1 byte"},
                                           {1023, "1023 bytes"},
                                           {1024, "1.00 KB"},
                                           {1536, "1.50 KB"},
                                           {5 * 1024 * 1024, "5.00 MB"},
                                           {3LL * 1024 * 1024 * 1024 / 2, "1.50 GB"},
                                           {-4, "0 bytes"}})
        EXPECT_EQ(Util::readableFileSize(c.bytes, 2), c.text);

    EXPECT_EQ(Util::readableTimeSpan(Poco::Timespan(3, 5, 0, 0, 0)), "3 days");
    EXPECT_EQ(Util::readableTimeSpan(Poco::Timespan(0, 1, 59, 0, 0)), "1 hour");
    EXPECT_EQ(Util::readableTimeSpan(Poco::Timespan(0, 0, 12, 30, 0)), "12 minutes");
    EXPECT_EQ(Util::readableTimeSpan(Poco::Timespan(0, 0, 0, 1, 0)), "1 second");
    EXPECT_EQ(Util::readableTimeSpan(Poco::Timespan(-5 * Poco::Timespan::SECONDS)), "0 seconds");

    EXPECT_EQ(Util::HTTP::getXMLResult("syncnow", true, ""),
              "<commands><command><type>syncnow</type><result>1</result><message></message></command></commands>");
    EXPECT_EQ(Util::HTTP::getXMLResult("x<y", false, "a & 'b'"),
              "<commands><command><type>x&lt;y</type><result>0</result><message>a &amp; &apos;b&apos;</message>"
              "</command></commands>");
}

TEST(Util, LocalTimeTextOfAUtcTime) {
    Poco::DateTime utc(2017, 5, 16, 12, 34, 56);
    std::string expected =
        Poco::DateTimeFormatter::format(Poco::LocalDateTime(utc), Poco::DateTimeFormat::SORTABLE_FORMAT);
    EXPECT_EQ(Util::localTimeStrFromUTCTime(utc), expected);
    EXPECT_EQ(Util::localTimeStrFromUTCTime(utc.timestamp().utcTime()), expected);
    EXPECT_EQ(expected.size(), 19u);
}

TEST(Util, NamesAndIdentities) {
    Poco::UUID id = Util::createUUIDFromString("My Files/docs/a.txt");
    EXPECT_EQ(Util::createUUIDFromString("My Files/docs/a.txt"), id);
    EXPECT_NE(Util::createUUIDFromString("My Files/docs/A.txt"), id);
    EXPECT_NE(Util::createUUIDFromString(""), Poco::UUID::null());
    EXPECT_EQ(id.version(), Poco::UUID::UUID_NAME_BASED);

    for (const std::string ok : {"a.txt", ".hidden", "..x", "Ünïcødé 文件", "with space", "back\\slash", "a:b"})
        EXPECT_TRUE(Util::isAllowedFile(ok)) << ok;
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "tab\there", "new\nline",
                                                          std::string("nul\0x", 5), "del\x7f", "bad \xC3",
                                                          "\xED\xA0\x80"})
        EXPECT_FALSE(Util::isAllowedFile(bad)) << bad;

    EXPECT_EQ(Util::getSHA1Hash("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Util::getSHA1Hash(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Util, UnicodeForms) {
    const std::string composed = "caf\xC3\xA9";     // é as one code point
    const std::string decomposed = "cafe\xCC\x81";  // e + combining acute
    std::string out = "unchanged";
    EXPECT_TRUE(Util::toNFC(decomposed, out));
    EXPECT_EQ(out, composed);
    EXPECT_TRUE(Util::toNFC(composed, out));
    EXPECT_EQ(out, composed);
    EXPECT_TRUE(Util::toNFC("plain.txt", out));
    EXPECT_EQ(out, "plain.txt");
    EXPECT_FALSE(Util::toNFC("bad\xFF", out));
    EXPECT_EQ(out, "plain.txt");

    EXPECT_EQ(Util::displayableUtf8("a\xFF\xC3"), "a\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Util::displayableUtf8(composed), composed);
    EXPECT_TRUE(Util::isValidUtf8(composed));
    EXPECT_FALSE(Util::isValidUtf8("a\xFF"));
}

TEST(Util, HomeAndWorkingFolders) {
    std::string home = Util::getUserHomePath();
    EXPECT_FALSE(home.empty());
    EXPECT_NE(home.back(), '/');
    if (Poco::Environment::has("HOME") && Poco::Environment::get("HOME").size() > 1) {
        EXPECT_EQ(home + "/", Poco::Path(Poco::Environment::get("HOME")).makeDirectory().toString());
    }

    std::string before = Poco::Path::current();
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    std::string exeFolder = Poco::Path(std::string(exe, static_cast<std::size_t>(n))).parent().toString();
    exeFolder.pop_back();  // no trailing "/"
    EXPECT_EQ(Util::setWorkingDirectoryToExePath(), exeFolder);
    EXPECT_EQ(Poco::Path::current(), exeFolder + "/");
    ASSERT_EQ(::chdir(before.c_str()), 0);
}

TEST(Util, LaunchDefaultBrowserStartsTheOpenerWithoutAShell) {
    TempFolder temp;
    // A stand-in opener that records its arguments.
    const std::string opener = temp.file("opener");
    const std::string record = temp.file("args");
    writeFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > '" + record + "'\n");
    ::chmod(opener.c_str(), 0755);

    const std::string target = "https://files.example.com/#expl-tabl./acct1/a b;$(touch x)";
    ASSERT_TRUE(Util::launchDefaultBrowser(target, opener));
    std::string recorded;
    for (int i = 0; i < 500 && recorded.find('\n', recorded.find('\n') + 1) == std::string::npos; ++i) {
        ::usleep(10 * 1000);
        std::ifstream in(record);
        recorded.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(recorded, "1\n" + target + "\n");  // one argument, passed as it is

    EXPECT_FALSE(Util::launchDefaultBrowser(target, "no-such-opener-program"));
    EXPECT_FALSE(Util::launchDefaultBrowser(target, temp.file("missing")));
    EXPECT_FALSE(Util::launchDefaultBrowser("--help", opener));
    EXPECT_FALSE(Util::launchDefaultBrowser("", opener));
}

TEST(NuvaroException, IsCaughtApartFromPocoExceptions) {
    static_assert(!std::is_base_of<Poco::Exception, Nuvaro::Exception>::value,
                  "the two must be told apart by their handlers");
    auto handlerFor = [](auto throwIt) {
        try {
            throwIt();
        } catch (const Poco::Exception& e) {
            return std::string("poco: ") + e.displayText();
        } catch (const Nuvaro::Exception& e) {
            return std::string("nuvaro: ") + e.message();
        } catch (...) {
            return std::string("unknown");
        }
        return std::string("none");
    };
    EXPECT_EQ(handlerFor([] { throw Nuvaro::Exception("Not a directory: /x"); }), "nuvaro: Not a directory: /x");
    EXPECT_EQ(handlerFor([] { throw Poco::FileNotFoundException("/x"); }), "poco: File not found: /x");
    EXPECT_EQ(handlerFor([] { throw 42; }), "unknown");

    Nuvaro::Exception e("boom");
    EXPECT_EQ(e.message(), "boom");
    EXPECT_STREQ(e.what(), "boom");
    EXPECT_STREQ(e.className(), "Nuvaro::Exception");
    EXPECT_EQ(e.displayText(), "Nuvaro::Exception: boom");
}
