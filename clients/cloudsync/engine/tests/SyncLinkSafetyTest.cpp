// Links in the sync folder: what a link leads to is not part of the sync
// folder. The scan and the monitor never enter a link, nothing behind one is
// uploaded, and no server change is created, written, replaced or removed
// through one, while everything else keeps syncing.

#include "LocalPlaces.h"
#include "LocalPlacesFixture.h"

#include <gtest/gtest.h>

#include <Poco/File.h>

#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace EngineTest {
namespace {

bool isLink(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

class LinkSafety : public LocalPlacesTest {
protected:
    // A folder of the user outside the sync folder.
    std::string outside(const std::string& rel = "") const {
        return rel.empty() ? m_tmp / "outside" : m_tmp / ("outside/" + rel);
    }
    std::size_t deleteRequests() const { return requestCount("/app/explorer/deletefile"); }
};

TEST_F(LinkSafety, FolderLinkTargetIsNeverWrittenThroughAndItsOldRecordsAreNoDeletions) {
    ready();
    // What an earlier pass that entered the link left: docs synced as it
    // was, records and server copies of everything below it.
    device->write("docs/a.txt", "mine a", 10);
    device->write("docs/keep.txt", "mine keep", 10);
    device->write("docs/sub/deep.txt", "mine deep", 10);
    device->syncOnce();
    ASSERT_EQ(server.fileContent(kUser, "/user1/docs/sub/deep.txt").value_or(""), "mine deep");

    // docs is now a link to the user's folder outside, where the user works
    // on: one file gone, one new.
    Poco::File(device->path("docs")).renameTo(outside());
    ASSERT_EQ(::symlink(outside().c_str(), device->path("docs").c_str()), 0);
    Poco::File(outside("a.txt")).remove();
    m_tmp.write("outside/b.txt", "mine b");
    server.clearRequests();
    device->syncOnce();
    device->syncOnce();
    // The old records are no local deletions, and nothing behind the link
    // goes up.
    EXPECT_EQ(deleteRequests(), 0u);
    EXPECT_EQ(server.fileContent(kUser, "/user1/docs/a.txt").value_or(""), "mine a");
    EXPECT_FALSE(server.item(kUser, "/user1/docs/b.txt"));

    // The server writes, overwrites and deletes below the link's name, and
    // changes an ordinary file beside it.
    const std::map<std::string, std::string> before = folderTree(outside());
    server.putFile(kUser, "/user1/docs/new.txt", "server new", serverTime(100));
    server.putFile(kUser, "/user1/docs/keep.txt", "server overwrites keep", serverTime(100));
    server.putFile(kUser, "/user1/docs/fresh/x.txt", "in a new server folder", serverTime(100));
    server.removeItem(kUser, "/user1/docs/sub/deep.txt");
    server.putFile(kUser, "/user1/other.txt", "ordinary", serverTime(100));
    device->syncOnce();
    // Each refused change is said once (the entries last until the next
    // scan, like every skipped item's).
    EXPECT_EQ(skippedEntries("passes through the link My Files/docs"), 5u);
    device->syncOnce();

    EXPECT_EQ(folderTree(outside()), before);
    EXPECT_TRUE(isLink(device->path("docs")));
    EXPECT_EQ(device->read("other.txt"), "ordinary");
    EXPECT_EQ(deleteRequests(), 0u);
    // Nothing the server holds went because of the link.
    EXPECT_EQ(server.fileContent(kUser, "/user1/docs/keep.txt").value_or(""), "server overwrites keep");
    EXPECT_EQ(server.fileContent(kUser, "/user1/docs/new.txt").value_or(""), "server new");

    // Nor when the user removes the link: it was never the server's folder.
    ASSERT_EQ(::unlink(device->path("docs").c_str()), 0);
    device->syncOnce();
    device->syncOnce();
    EXPECT_EQ(deleteRequests(), 0u);
    EXPECT_EQ(server.fileContent(kUser, "/user1/docs/keep.txt").value_or(""), "server overwrites keep");
    EXPECT_EQ(folderTree(outside()), before);
}

TEST_F(LinkSafety, LinksAreNeitherUploadedNorReplaced) {
    ready();
    m_tmp.write("outside/folder/g.txt", "behind a folder link");
    m_tmp.write("outside/f.txt", "behind a file link");
    ASSERT_EQ(::symlink(outside("folder").c_str(), device->path("shortcut").c_str()), 0);
    ASSERT_EQ(::symlink(outside("f.txt").c_str(), device->path("linked.txt").c_str()), 0);
    device->write("real.txt", "real");
    device->syncOnce();
    device->syncOnce();
    EXPECT_EQ(server.fileContent(kUser, "/user1/real.txt").value_or(""), "real");
    EXPECT_FALSE(server.item(kUser, "/user1/shortcut"));
    EXPECT_FALSE(server.item(kUser, "/user1/linked.txt"));

    // A server file under the file link's name goes beside the link.
    server.putFile(kUser, "/user1/linked.txt", "the server's", serverTime(200));
    device->syncOnce();
    EXPECT_TRUE(isLink(device->path("linked.txt")));
    EXPECT_EQ(CloudSyncTest::TempFolder::read(outside("f.txt")), "behind a file link");
    std::size_t copies = 0;
    for (const auto& item : device->tree())
        copies += item.first.rfind("linked(Conflict_", 0) == 0 && item.second == "the server's" ? 1 : 0;
    EXPECT_EQ(copies, 1u);
}

// The helper every writing step asks: which link lies on the way.
TEST(LinkOnTheWay, FindsTheFirstLinkWithoutFollowingAny) {
    CloudSyncTest::TempFolder root;
    CloudSyncTest::TempFolder elsewhere;
    elsewhere.write("deep/f.txt", "f");
    root.write("real/f.txt", "f");
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (root / "real/link").c_str()), 0);
    ASSERT_EQ(::symlink((elsewhere / "deep/f.txt").c_str(), (root / "real/file-link").c_str()), 0);
    struct Case {
        std::string relative;
        bool withItem;
        std::string link;
    } cases[] = {
        {"real/f.txt", false, ""},
        {"real/link/deep/f.txt", false, "real/link"},
        {"real/link/new/g.txt", false, "real/link"},
        {"real/link", false, ""},  // the link itself is the item
        {"real/link", true, "real/link"},
        {"real/file-link", true, "real/file-link"},
        {"missing/link/f.txt", true, ""},  // nothing exists below a missing folder
        {"real", true, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Nuvaro::Sync::LocalPlaces::linkOnTheWay(root.path(), c.relative, c.withItem), c.link)
            << c.relative << (c.withItem ? " with the item" : "");
}

} // namespace
} // namespace EngineTest
