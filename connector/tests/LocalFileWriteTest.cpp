// Writing download bodies into local files and the large-file helpers,
// on real files in a temporary folder.

#include "nuvarocbfs_Network.h"
#include "FileModes.h"
#include "LocalFolder.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Path.h>
#include <Poco/Process.h>
#include <Poco/TemporaryFile.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <streambuf>
#include <string>

using namespace Nuvaro;

namespace {

class LocalFileWrite : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return m_dir.path(name); }
    void write(const std::string& file, const std::string& content) const {
        m_dir.write(Poco::Path(file).getFileName(), content);
    }
    static std::string read(const std::string& file) { return TransferTest::LocalFolder::read(file); }
    std::vector<std::string> entries() const { return m_dir.entries(); }

    TransferTest::LocalFolder m_dir;
    NuvaroConnector m_connector{RecordList{}, false, "Cloud Sync"};
};

TEST_F(LocalFileWrite, ReplaceAndOffsetWrites) {
    struct Case {
        const char* what;
        const char* before; // nullptr: no file yet
        Poco::Int64 offset;
        const char* body;
        const char* after;
    };
    const Case cases[] = {
        {"replace creates", nullptr, -1, "hello", "hello"},
        {"replace shortens", "0123456789", -1, "ab", "ab"},
        {"offset keeps prefix and tail", "0123456789", 3, "ab", "012ab56789"},
        {"offset extends", "0123", 4, "xyz", "0123xyz"},
        {"offset creates a missing file", nullptr, 0, "new", "new"},
    };
    for (const auto& c : cases) {
        const std::string file = path("f.bin");
        if (Poco::File(file).exists()) Poco::File(file).remove();
        if (c.before) write(file, c.before);
        std::istringstream body(c.body);
        std::string error;
        EXPECT_TRUE(m_connector.saveResponseToFile(body, file, c.offset, error)) << c.what << ": " << error;
        EXPECT_EQ(read(file), c.after) << c.what;
        EXPECT_EQ(entries(), std::vector<std::string>{"f.bin"}) << c.what;
    }
}

TEST_F(LocalFileWrite, ReplacingAFileWithTheLongestNameWorks) {
    const std::string name(255, 'n');
    const std::string file = path(name);
    write(file, "old");
    std::istringstream body("new");
    std::string error;
    ASSERT_TRUE(m_connector.saveResponseToFile(body, file, -1, error, 3)) << error;
    EXPECT_EQ(read(file), "new");
    EXPECT_EQ(entries(), std::vector<std::string>{name});
}

TEST(TemporaryName, OnlyTheConnectorsOwnFormTellsItsProcess) {
    const std::string made = NuvaroConnector::temporaryNameFor("/d/" + std::string(253, 'n'));
    const std::string name = made.substr(3);
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(NuvaroConnector::temporaryNameProcess(name), static_cast<long>(Poco::Process::id()));
    EXPECT_NE(NuvaroConnector::temporaryNameFor("/d/a.txt"), NuvaroConnector::temporaryNameFor("/d/a.txt"));
    EXPECT_EQ(NuvaroConnector::temporaryNameProcess("a.txt.4711-3.tmp.part"), 4711);
    EXPECT_EQ(NuvaroConnector::temporaryNameProcess("a.txt.4711-3.tmp.part.4712-9.tmp.part"), 4712);
    for (const char* other : {"a.txt.part", "x.tmp.part", "a.txt.47-.tmp.part", "a.txt.-3.tmp.part",
                              ".4711-3.tmp.part", "a.txt4711-3.tmp.part", "a.txt.4711-3.tmp.part.x",
                              "a.txt.0-3.tmp.part", "a.txt.47a1-3.tmp.part", "a.txt.12345678901-3.tmp.part"}) {
        EXPECT_EQ(NuvaroConnector::temporaryNameProcess(other), -1) << other;
    }
}

TEST_F(LocalFileWrite, ShortBodyLeavesTheOldFileUntouched) {
    const std::string file = path("keep.txt");
    write(file, "old content");
    std::istringstream body("only part");
    std::string error;
    EXPECT_FALSE(m_connector.saveResponseToFile(body, file, -1, error, 100));
    EXPECT_EQ(error, "Failed: Incomplete download, received 9 of 100 bytes");
    EXPECT_EQ(read(file), "old content");
    EXPECT_EQ(entries(), std::vector<std::string>{"keep.txt"});
}

TEST_F(LocalFileWrite, ReplacingKeepsThePermissionBits) {
    const std::string file = path("mode.sh");
    write(file, "#!/bin/sh\n");
    Poco::File(file).setExecutable(true);
    std::istringstream body("echo hi\n");
    std::string error;
    ASSERT_TRUE(m_connector.saveResponseToFile(body, file, -1, error, 8)) << error;
    EXPECT_TRUE(Poco::File(file).canExecute());
    EXPECT_EQ(read(file), "echo hi\n");
}

// A body that calls `firstRead` when it is first read, while the file it
// goes to is open: the test looks at the folder then.
class WatchedBody : public std::streambuf {
public:
    WatchedBody(std::string content, std::function<void()> firstRead)
        : m_content(std::move(content)), m_firstRead(std::move(firstRead)) {}

protected:
    int_type underflow() override {
        if (m_served || m_content.empty())
            return traits_type::eof();
        m_served = true;
        m_firstRead();
        setg(&m_content[0], &m_content[0], &m_content[0] + m_content.size());
        return traits_type::to_int_type(m_content[0]);
    }

private:
    std::string m_content;
    std::function<void()> m_firstRead;
    bool m_served = false;
};

// Whatever the umask, another user can neither read a body while it is
// written nor change it before it is used: every file made for it is 0600
// from its creation on. A replacement gets the mode of the file it replaces.
TEST_F(LocalFileWrite, FilesMadeForABodyAreOwnerOnlyWhateverTheUmask) {
    struct Case {
        const char* what;
        int before; // mode of the file there before, -1: none
        Poco::Int64 offset;
        int after;
    };
    const Case cases[] = {
        {"a new file", -1, -1, 0600},
        {"a replaced file", 0644, -1, 0644},
        {"a missing file written from an offset", -1, 0, 0600},
        {"an existing file written from an offset", 0644, 2, 0644},
    };
    CloudSyncTest::UmaskScope open(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = path("f.bin");
        ::unlink(file.c_str());
        if (c.before >= 0) {
            write(file, "0123456789");
            ASSERT_EQ(::chmod(file.c_str(), static_cast<mode_t>(c.before)), 0);
        }
        std::map<std::string, int> whileWritten;
        WatchedBody watched("body", [&] {
            for (const std::string& name : entries())
                whileWritten[name] = CloudSyncTest::modeOf(path(name));
        });
        std::istream body(&watched);
        std::string error;

        ASSERT_TRUE(m_connector.saveResponseToFile(body, file, c.offset, error)) << error;

        ASSERT_FALSE(whileWritten.empty());
        for (const auto& entry : whileWritten) {
            const bool theFileBefore = entry.first == "f.bin" && c.before >= 0;
            EXPECT_EQ(entry.second, theFileBefore ? c.before : 0600) << entry.first;
        }
        EXPECT_EQ(CloudSyncTest::modeOf(file), c.after);
        EXPECT_EQ(entries(), std::vector<std::string>{"f.bin"});
    }
}

TEST_F(LocalFileWrite, MissingFolderRaisesTheFileLibrarysError) {
    std::istringstream body("x");
    std::string error;
    EXPECT_THROW(m_connector.saveResponseToFile(body, path("no/such/dir/f"), -1, error), Poco::FileException);
    EXPECT_THROW(m_connector.saveResponseToFile(body, path("no/such/dir/f"), 5, error), Poco::FileException);
}

TEST_F(LocalFileWrite, SeekPastTwoGibibytesOnASparseFile) {
    // 2^31 + 2^31 - 1 + 7: three relative steps of at most 2147483647 bytes.
    const Poco::Int64 offset = 2LL * 2147483647LL + 9;
    const std::string file = path("sparse.bin");
    {
        Poco::FileOutputStream out(file, std::ios::out | std::ios::binary);
        ASSERT_TRUE(nuvarocbfs_largeFileSeekgOut(&out, offset));
        out << "END";
    }
    EXPECT_EQ(static_cast<Poco::Int64>(Poco::File(file).getSize()), offset + 3);
    {
        Poco::FileInputStream in(file, std::ios::in | std::ios::binary);
        ASSERT_TRUE(nuvarocbfs_largeFileSeekg(&in, offset));
        std::string tail(3, '\0');
        in.read(&tail[0], 3);
        EXPECT_EQ(tail, "END");
        ASSERT_TRUE(nuvarocbfs_largeFileSeekg(&in, 0));
        EXPECT_EQ(in.get(), 0);
    }
    // The offset write through saveResponseToFile reaches the same place.
    std::istringstream body("XY");
    std::string error;
    ASSERT_TRUE(m_connector.saveResponseToFile(body, file, offset + 1, error)) << error;
    Poco::FileInputStream in(file, std::ios::in | std::ios::binary);
    ASSERT_TRUE(nuvarocbfs_largeFileSeekg(&in, offset));
    std::string tail(3, '\0');
    in.read(&tail[0], 3);
    EXPECT_EQ(tail, "EXY");
}

TEST(CopyStream64, CopiesExactlyCountOrWhatTheInputHas) {
    struct Case {
        std::size_t inputSize;
        Poco::Int64 count;
        Poco::Int64 copied;
    };
    const Case cases[] = {
        {20000, 20000, 20000}, {20000, 8192, 8192}, {20000, 8193, 8193}, {20000, 0, 0}, {100, 250, 100}, {0, 10, 0},
    };
    for (const auto& c : cases) {
        std::string input(c.inputSize, '\0');
        for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7);
        std::istringstream in(input);
        std::ostringstream out;
        EXPECT_EQ(copyStream64(in, out, c.count), c.copied) << c.inputSize << "/" << c.count;
        EXPECT_EQ(out.str(), input.substr(0, static_cast<std::size_t>(c.copied)));
        // What was not asked for stays in the input.
        if (c.count < static_cast<Poco::Int64>(c.inputSize)) {
            EXPECT_EQ(in.get(), static_cast<unsigned char>(input[c.count]));
        }
    }
}

} // namespace
