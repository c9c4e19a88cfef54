// A server item this system cannot hold (a name longer than a folder entry
// takes, a path longer than the system takes) is skipped before its download
// with one log line and one entry, and everything else keeps syncing both
// ways; a download that fails for a reason a retry can mend still holds the
// folder's changes back until it succeeds.

#include "LocalPlaces.h"
#include "LocalPlacesFixture.h"

#include <gtest/gtest.h>

#include <Poco/URI.h>

#include <string>

namespace EngineTest {
namespace {

// 90 CJK letters: 270 bytes in UTF-8, more than a folder entry takes.
std::string cjkName() {
    std::string name;
    for (int i = 0; i < 90; ++i)
        name += "\xE6\x96\x87";
    return name + ".txt";
}

// Twenty folders of 220 bytes: each name fits, the whole path does not.
std::string overlongFolder() {
    std::string path;
    for (int i = 0; i < 20; ++i)
        path += "/" + std::string(219, 'd') + static_cast<char>('a' + i);
    return path;
}

class UnplaceableName : public LocalPlacesTest {
protected:
    // Requests of any kind (downloads, rechecks) that name `name` in their
    // query or form body.
    std::size_t requestsNaming(const std::string& name) {
        std::size_t count = 0;
        for (const auto& request : server.requests()) {
            std::string decoded;
            Poco::URI::decode(request.query + "&" + request.body, decoded);
            count += decoded.find(name) != std::string::npos ? 1 : 0;
        }
        return count;
    }
};

TEST_F(UnplaceableName, IsSkippedOnceAndEverythingElseSyncsBothWays) {
    ready();
    server.putFile(kUser, "/user1/" + cjkName(), "a name too long here", serverTime(10));
    server.putFile(kUser, "/user1/long" + overlongFolder() + "/f.txt", "a path too long here", serverTime(10));
    server.putFile(kUser, "/user1/from server.txt", "server", serverTime(10));
    device->write("from device.txt", "device", 10);

    device->syncOnce();
    EXPECT_EQ(device->read("from server.txt"), "server");
    EXPECT_EQ(skippedEntries("cannot be created on this system (name too long)"), 1u);
    EXPECT_GE(skippedEntries("cannot be created on this system (path too long)"), 1u);
    device->syncOnce();
    EXPECT_EQ(server.fileContent(kUser, "/user1/from device.txt").value_or(""), "device");

    // Later changes go both ways, and the skipped item is not asked for
    // again.
    server.clearRequests();
    server.putFile(kUser, "/user1/later.txt", "later", serverTime(20));
    device->write("later here.txt", "here", 20);
    device->syncOnce();
    device->syncOnce();
    EXPECT_EQ(device->read("later.txt"), "later");
    EXPECT_EQ(server.fileContent(kUser, "/user1/later here.txt").value_or(""), "here");
    EXPECT_EQ(requestsNaming(cjkName()), 0u);
    EXPECT_FALSE(device->exists(cjkName()));
}

TEST_F(UnplaceableName, DownloadThatARetryCanMendStillHoldsTheChangesBack) {
    ready();
    server.putFile(kUser, "/user1/" + cjkName(), "a name too long here", serverTime(10));
    server.putFile(kUser, "/user1/a.txt", "alpha", serverTime(10));
    server.putFile(kUser, "/user1/b.txt", "bravo", serverTime(10));
    const int fault = server.addFault(TestFault::withStatus("/core/downloadfile", 500));
    device->syncOnce();
    // Nothing of the delta is placed while a download fails.
    EXPECT_FALSE(device->exists("a.txt"));
    EXPECT_FALSE(device->exists("b.txt"));

    server.removeFault(fault);
    device->syncOnce();
    EXPECT_EQ(device->read("a.txt"), "alpha");
    EXPECT_EQ(device->read("b.txt"), "bravo");
}

TEST(UnplaceableReason, NamesAndPathsThisSystemCannotHold) {
    using Nuvaro::Sync::LocalPlaces::unplaceableReason;
    // Not there: the usual limits of 255 and 4096 bytes apply.
    const std::string root = "/home/ann/Sync";
    // `folders` folders of 199 bytes, then a name of `nameLength` bytes.
    auto nested = [](int folders, std::size_t nameLength) {
        std::string path;
        for (int i = 0; i < folders; ++i)
            path += std::string(199, 'p') + "/";
        return path + std::string(nameLength, 'n');
    };
    struct Case {
        std::string relative;
        std::string reason;
    } cases[] = {
        {"My Files/a.txt", ""},
        {"My Files/" + std::string(255, 'n'), ""},  // the longest name; its temporary file is cut to fit
        {"My Files/" + std::string(256, 'n'), "name too long"},
        {"My Files/" + cjkName(), "name too long"},
        {"My Files/" + std::string(256, 'n') + "/a.txt", "name too long"},
        {"My Files" + overlongFolder() + "/f.txt", "path too long"},
        // 4080 bytes with the root fit, but not the temporary file of a
        // replacement beside it (42 bytes more).
        {nested(19, 65), ""},
        {nested(20, 65), "path too long"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(unplaceableReason(root, c.relative), c.reason) << c.relative.substr(0, 60);
}

} // namespace
} // namespace EngineTest
