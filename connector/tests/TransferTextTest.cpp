#include "nuvarocbfs_Network.h"

#include <Poco/DateTime.h>
#include <gtest/gtest.h>

using namespace Nuvaro;

TEST(TransferText, SpeedUnitFollowsTheByteCount) {
    struct Case {
        Poco::UInt64 bytes, micros;
        const char* text;
    };
    const Case cases[] = {
        {1048576, 1000000, "1 MB/s"},
        {1023, 1000000, "1023 Bytes/s"},
        {1024, 2000000, "0.5 KB/s"},
        {1048575, 1000000, "1024 KB/s"},
        {2147483648ULL, 4000000, "0.5 GB/s"},
        {1073741823ULL, 1000000, "1024 MB/s"},
        {500, 1, "5e+08 Bytes/s"},
        {0, 5, "0 Bytes/s"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NuvaroConnector::getPrintableSpeedValue(c.bytes, c.micros), c.text)
            << c.bytes << " bytes in " << c.micros << " us";
    }
}

TEST(TransferText, SplitFolder) {
    struct Case {
        const char* path;
        const char* folderBefore;
        const char* name;
        const char* folder;
    };
    const Case cases[] = {
        {"/a/b/c.txt", "", "c.txt", "/a/b/"},
        {"c.txt", "keep/", "c.txt", "keep/"},
        {"a\\b", "", "b", "a/"},
        {"x/y", "pre/", "y", "pre/x/"},
        {"/a/b/", "", "", "/a/b/"},
        {"", "f", "untouched", "f"},
    };
    for (const auto& c : cases) {
        std::string name = "untouched";
        std::string folder = c.folderBefore;
        splitFolder(c.path, name, folder);
        EXPECT_EQ(name, c.name) << c.path;
        EXPECT_EQ(folder, c.folder) << c.path;
    }
}

TEST(TransferText, UtcTimeTextIsEncodedAndTruncatedToSeconds) {
    struct Case {
        Poco::DateTime when;
        const char* text;
    };
    const Case cases[] = {
        {Poco::DateTime(2017, 5, 16, 12, 34, 56, 789), "2017-05-16%2012%3A34%3A56"},
        {Poco::DateTime(1970, 1, 1, 0, 0, 0), "1970-01-01%2000%3A00%3A00"},
        {Poco::DateTime(2038, 1, 19, 3, 14, 8, 999, 999), "2038-01-19%2003%3A14%3A08"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UtilGetUTCTimeStrFromUTCTimestamp(c.when.utcTime()), c.text);
    }
}
