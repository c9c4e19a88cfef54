#include "NuvaroException.h"
#include "TempFolder.h"
#include "VariantRow.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using CloudSyncTest::TempFolder;

using Nuvaro::Data::RawData;
using Nuvaro::Data::VariantField;
using Nuvaro::Data::VariantRow;

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A row holding a value of every kind, texts included that are hard to store.
VariantRow sampleRow() {
    VariantRow row;
    row["text"] = std::string("O'Brien & <Co> \"quoted\"\ttab\nline\r\nend");
    row["unicode"] = "Ünïcødé 文件";
    row["blanks"] = "  leading and trailing  ";
    row["empty"] = "";
    row["flag"] = true;
    row["int"] = -123456;
    row["int64"] = -9000000000000LL;
    row["uint64"] = std::numeric_limits<unsigned long long>::max();
    row["unset"];
    return row;
}

std::size_t filesIn(const std::string& folder) {
    std::vector<std::string> names;
    Poco::File(folder).list(names);
    return names.size();
}

} // namespace

TEST(VariantRow, BinaryFormRoundTripsEveryKindOfValue) {
    VariantRow row = sampleRow();
    row["nul"] = std::string("a\0b", 3);
    RawData raw(row.getSize());
    row.write(raw);

    VariantRow copy;
    copy["stale"] = "replaced by read";
    copy.read(raw);
    EXPECT_EQ(copy.getFieldNames(), row.getFieldNames());
    for (const auto& name : row.getFieldNames()) {
        EXPECT_EQ(copy.getField(name), row.getField(name)) << name;
    }
    EXPECT_FALSE(copy.hasField("stale"));
    EXPECT_EQ(copy.getField("uint64").getUInt64(), std::numeric_limits<unsigned long long>::max());
    EXPECT_EQ(copy.getField("int64").getInt64(), -9000000000000LL);

    RawData tooSmall(row.getSize() - 1);
    EXPECT_THROW(row.write(tooSmall), Nuvaro::Exception);
}

TEST(VariantRow, DamagedBinaryDataThrowsAndLeavesTheRowAsItWas) {
    VariantRow row = sampleRow();
    RawData raw(row.getSize());
    row.write(raw);
    VariantRow target;
    target["kept"] = 1;
    // Every cut of the data is refused.
    for (std::size_t size = 0; size < raw.getSize(); ++size) {
        RawData cut(raw.getData(), size);
        EXPECT_THROW(target.read(cut), Nuvaro::Exception) << size;
    }
    RawData wrongTag(raw.getData(), raw.getSize());
    wrongTag.getData()[0] = 'X';
    EXPECT_THROW(target.read(wrongTag), Nuvaro::Exception);
    RawData wrongType(raw.getData(), raw.getSize());
    wrongType.getData()[4 + 4 + 4 + 4] = 99;  // type byte of the first field ("text")
    EXPECT_THROW(target.read(wrongType), Nuvaro::Exception);
    EXPECT_EQ(target.getFieldNames(), std::vector<std::string>{"kept"});
}

TEST(VariantField, GettersConvertBetweenTextNumbersAndBooleans) {
    struct Case {
        VariantField field;
        std::string text;
        bool flag;
        int number;
        long long wide;
    };
    const Case cases[] = {
        {VariantField(" 42 "), " 42 ", false, 42, 42},
        {VariantField("-7"), "-7", false, -7, -7},
        {VariantField("abc"), "abc", false, 0, 0},
        {VariantField("12abc"), "12abc", false, 0, 0},
        {VariantField("1"), "1", true, 1, 1},
        {VariantField("TRUE"), "TRUE", true, 0, 0},
        {VariantField(" yes "), " yes ", true, 0, 0},
        {VariantField("on"), "on", true, 0, 0},
        {VariantField("0"), "0", false, 0, 0},
        {VariantField("9000000000"), "9000000000", false, 0, 9000000000LL},
        {VariantField(true), "1", true, 1, 1},
        {VariantField(false), "0", false, 0, 0},
        {VariantField(5), "5", true, 5, 5},
        {VariantField(5000000000L), "5000000000", true, 705032704, 5000000000LL},
        {VariantField(), "", false, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.field.getString(), c.text) << c.text;
        EXPECT_EQ(c.field.getBool(), c.flag) << c.text;
        EXPECT_EQ(c.field.getInt(), c.number) << c.text;
        EXPECT_EQ(c.field.getInt64(), c.wide) << c.text;
    }
    EXPECT_EQ(VariantField("18446744073709551615").getUInt64(), std::numeric_limits<unsigned long long>::max());
}

TEST(VariantRow, FieldsAreCreatedOnUseAndKeepTheirOrder) {
    VariantRow row;
    EXPECT_FALSE(row.hasField("b"));
    EXPECT_TRUE(row.getField("b").isEmpty());
    EXPECT_FALSE(row.hasField("b"));  // reading does not create
    row["b"] = "2";
    row["a"] = 1;
    row["b"] = "3";
    EXPECT_TRUE(row.hasField("b"));
    EXPECT_EQ(row.getFieldNames(), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(row["b"].getString(), "3");
    EXPECT_TRUE(row.removeField("b"));
    EXPECT_FALSE(row.removeField("b"));
    EXPECT_EQ(row.getFieldCount(), 1u);
}

TEST(VariantRow, XmlFileRoundTripKeepsValuesAndFieldsThisProgramDoesNotKnow) {
    TempFolder temp;
    const std::string path = temp.file("syncclientconfig.xml");
    writeFile(path,
              "<settings><syncfolderlocation>DEFAULT</syncfolderlocation>"
              "<futureoption>kept as is</futureoption><maxthreads>5</maxthreads></settings>");

    VariantRow row;
    ASSERT_TRUE(row.read(path)) << row.getLastError();
    row["syncfolderlocation"] = "/home/u/Sync";
    VariantRow sample = sampleRow();
    for (const auto& name : sample.getFieldNames()) row[name] = sample.getField(name);
    ASSERT_TRUE(row.write(path)) << row.getLastError();

    VariantRow readBack;
    ASSERT_TRUE(readBack.read(path)) << readBack.getLastError();
    EXPECT_EQ(readBack.getFieldNames(), row.getFieldNames());
    for (const auto& name : row.getFieldNames())
        EXPECT_EQ(readBack.getField(name).getString(), row.getField(name).getString()) << name;
    EXPECT_EQ(readBack.getField("futureoption").getString(), "kept as is");
    EXPECT_EQ(readBack.getRootName(), "settings");
    EXPECT_EQ(readBack.getField("maxthreads").getInt(), 5);
    EXPECT_EQ(readBack.getField("uint64").getUInt64(), std::numeric_limits<unsigned long long>::max());
    EXPECT_TRUE(readBack.getField("flag").getBool());
    EXPECT_EQ(filesIn(temp.path()), 1u);  // no temporary file left behind
}

TEST(VariantRow, HandWrittenFileIsReadLeniently) {
    TempFolder temp;
    const std::string path = temp.file("syncconconfig.xml");
    writeFile(path,
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!-- account of the first login -->\n"
              "<anything>\n"
              "  <url>\n      https://files.example.com:8443   \n  </url>\n"
              "  <account> JDoe@Example.com </account>  <!-- trailing comment -->\n"
              "  <password><![CDATA[p&ss<word>]]></password>\n"
              "  <limitfolders>/a|/b &amp; c</limitfolders>\n"
              "  <empty/>\n"
              "  <spaced xml:space=\"preserve\">  two  </spaced>\n"
              "  <nested>outer<inner>ignored</inner> text</nested>\n"
              "  <account>second one is ignored</account>\n"
              "  <?ignored processing instruction?>\n"
              "</anything>\n");
    VariantRow row;
    ASSERT_TRUE(row.read(path)) << row.getLastError();
    EXPECT_EQ(row.getField("url").getString(), "https://files.example.com:8443");
    EXPECT_EQ(row.getField("account").getString(), "JDoe@Example.com");
    EXPECT_EQ(row.getField("password").getString(), "p&ss<word>");
    EXPECT_EQ(row.getField("limitfolders").getString(), "/a|/b & c");
    EXPECT_TRUE(row.hasField("empty"));
    EXPECT_EQ(row.getField("empty").getString(), "");
    EXPECT_EQ(row.getField("spaced").getString(), "  two  ");
    EXPECT_EQ(row.getField("nested").getString(), "outer text");
    EXPECT_EQ(row.getFieldCount(), 7u);
}

TEST(VariantRow, DamagedOrMissingFileIsAFailureAndChangesNothing) {
    TempFolder temp;
    const std::vector<std::string> damaged{
        "",
        "not xml at all",
        "<config><url>https://x</config>",
        "<config><url>a</url></config><second/>",
        "<config><url>&undefined;</url></config>",
        "<config><url>\xFF\xFE</url></config>",
    };
    for (const auto& content : damaged) {
        const std::string path = temp.file("damaged.xml");
        writeFile(path, content);
        VariantRow row;
        row["url"] = "before";
        row.setRootName("mine");
        EXPECT_FALSE(row.read(path)) << content;
        EXPECT_FALSE(row.getLastError().empty());
        EXPECT_EQ(row.getFieldNames(), std::vector<std::string>{"url"}) << content;
        EXPECT_EQ(row.getField("url").getString(), "before");
        EXPECT_EQ(row.getRootName(), "mine");
        EXPECT_EQ(TempFolder::read(path), content);  // the file is left as it was
    }
    VariantRow row;
    EXPECT_FALSE(row.read(temp.file("missing.xml")));
    EXPECT_FALSE(Poco::File(temp.file("missing.xml")).exists());
}

TEST(VariantRow, WriteThatCannotSucceedLeavesTheOldFileInPlace) {
    TempFolder temp;
    const std::string path = temp.file("editinfo.xml");
    VariantRow good;
    good["name"] = "a.txt";
    ASSERT_TRUE(good.write(path));
    const std::string before = TempFolder::read(path);

    std::vector<VariantRow> refused(5);
    refused[0]["1starts with digit"] = "x";
    refused[1]["has space"] = "x";
    refused[2]["name"] = std::string("bell\a");
    refused[3]["name"] = std::string("bad utf8 \xC3");
    refused[4].setRootName("");
    for (const auto& row : refused) {
        EXPECT_FALSE(row.write(path));
        EXPECT_FALSE(row.getLastError().empty());
    }
    EXPECT_FALSE(good.write(temp.file("no-such-folder/editinfo.xml")));
    EXPECT_EQ(TempFolder::read(path), before);
    EXPECT_EQ(filesIn(temp.path()), 1u);
}

TEST(VariantRow, WriteKeepsTheFilesPermissionsAndMakesNewFilesPrivate) {
    TempFolder temp;
    VariantRow row;
    row["password"] = "secret";
    ASSERT_TRUE(row.write(temp.file("new.xml")));
    struct stat info;
    ASSERT_EQ(::stat(temp.file("new.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    writeFile(temp.file("shared.xml"), "<config/>");
    ::chmod(temp.file("shared.xml").c_str(), 0644);
    ASSERT_TRUE(row.write(temp.file("shared.xml")));
    ASSERT_EQ(::stat(temp.file("shared.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(VariantRow, RelativePathsNameFilesInTheWorkingFolder) {
    // The runner names its configuration file without a folder.
    TempFolder temp;
    std::string before = Poco::Path::current();
    ASSERT_EQ(::chdir(temp.path().c_str()), 0);
    VariantRow row;
    row["syncfolderlocation"] = "DEFAULT";
    bool written = row.write("syncclientconfig.xml");
    VariantRow readBack;
    bool read = readBack.read("syncclientconfig.xml");
    ASSERT_EQ(::chdir(before.c_str()), 0);
    ASSERT_TRUE(written) << row.getLastError();
    ASSERT_TRUE(read) << readBack.getLastError();
    EXPECT_EQ(readBack.getField("syncfolderlocation").getString(), "DEFAULT");
    EXPECT_EQ(filesIn(temp.path()), 1u);
}

TEST(VariantRow, SampleConfigurationFilesAreReadable) {
    VariantRow con;
    ASSERT_TRUE(con.read(std::string(CLOUDSYNC_SAMPLES_DIR) + "/syncconconfig.xml")) << con.getLastError();
    for (const char* name : {"url", "account", "password", "limitfolders", "offline_folder_count"})
        EXPECT_TRUE(con.hasField(name)) << name;
    int jobs = con.getField("offline_folder_count").getInt();
    for (int i = 1; i <= jobs; ++i) {
        std::string entry = con.getField("offline_folder_" + std::to_string(i)).getString();
        EXPECT_EQ(std::count(entry.begin(), entry.end(), '|'), 5) << entry;
    }

    VariantRow client;
    ASSERT_TRUE(client.read(std::string(CLOUDSYNC_SAMPLES_DIR) + "/syncclientconfig.xml")) << client.getLastError();
    EXPECT_EQ(client.getField("syncclientlocation").getString(), "DEFAULT");
    EXPECT_EQ(client.getField("syncfolderlocation").getString(), "DEFAULT");
    EXPECT_EQ(client.getField("maxthreads").getInt(), 5);
    EXPECT_TRUE(client.getField("skipnewfolders").getBool());
}
