// The temporary files of replacements a crash interrupted (".NAME.UUID.tmp"
// beside the file being replaced) are removed when the worker starts, unless
// a record names them: a server file that merely has that form stays, and so
// does everything behind a link and every other hidden file.

#include "LocalPlacesFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace EngineTest {
namespace {

class LeftoverTemporaryFiles : public LocalPlacesTest {};

TEST_F(LeftoverTemporaryFiles, AreRemovedAtStartUnlessARecordNamesThem) {
    ready();
    const std::string lookalike = ".plan.txt.0f8fad5b-d9cb-469f-a165-70867728950e.tmp";
    server.putFile(kUser, "/user1/" + lookalike, "a server file", serverTime(10));
    device->write("sub/a.txt", "a", 10);
    device->syncOnce();
    ASSERT_EQ(device->read(lookalike), "a server file");

    // Left by replacements a kill cut short, in a folder and at the top.
    const std::string inFolder = "sub/.a.txt.7c9e6679-7425-40de-944b-e07fc1f90ae7.tmp";
    const std::string atTop = ".b.txt.16fd2706-8baf-433b-82eb-8c7fada847da.tmp";
    device->write(inFolder, "half of a");
    device->write(atTop, "half of b");
    // Not of that form, or not in the sync folder's own tree.
    device->write(".notes.tmp", "mine");
    m_tmp.write("outside/.c.txt.886313e1-3b8a-5372-9b90-0c9aee199e5d.tmp", "outside");
    ASSERT_EQ(::symlink((m_tmp / "outside").c_str(), device->path("linked").c_str()), 0);
    device->stop();

    ASSERT_TRUE(device->start());
    EXPECT_TRUE(waitUntil([&] { return !device->exists(inFolder) && !device->exists(atTop); }, 20000));
    device->stop();
    EXPECT_EQ(device->read(lookalike), "a server file");
    EXPECT_EQ(device->read(".notes.tmp"), "mine");
    EXPECT_EQ(device->read("linked/.c.txt.886313e1-3b8a-5372-9b90-0c9aee199e5d.tmp"), "outside");
    EXPECT_EQ(device->read("sub/a.txt"), "a");
}

} // namespace
} // namespace EngineTest
