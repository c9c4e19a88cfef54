// One server change this device cannot place holds back only itself: a
// colleague's edit in a folder the user made read-only or unreadable, a
// folder the server made where the user keeps a file of that name. The rest
// of the delta is placed, the user's new file goes up in the same pass, the
// held change is reported once per pass (one error line, one activity
// entry), nothing of the user's at its path goes up over it, and it is
// tried again at every pass and placed once the user made room. Permissions
// do not hold for root: run as root, the test runs itself again as the
// unprivileged user nobody.

#include "SyncDevice.h"

#include "NameRules.h"
#include "Unprivileged.h"

#include <Poco/Message.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace EngineTest {
namespace {

using Nuvaro::Sync::FSActivity;

class HeldBackChange : public OneDeviceTest {
public:
    // Open to the tables of cases.
    using OneDeviceTest::device;
    using OneDeviceTest::server;
    static constexpr const char* kUser = SyncDevice::kUser;

    std::string onServer(const std::string& rel) { return server.fileContent(kUser, "/user1/" + rel).value_or("<none>"); }
    void setMode(const std::string& rel, mode_t mode) { ASSERT_EQ(::chmod(device->path(rel).c_str(), mode), 0); }
    // The folder of the case that runs (below My Files).
    std::string folder;
    bool heldBackFileExists() const { return Poco::File(device->dataRoot() + "/.heldback").exists(); }
    // The conflict copies of `fileName` in `folder` of My Files, by content.
    std::vector<std::string> copiesOf(const std::string& folder, const std::string& fileName) {
        std::vector<std::string> copies;
        for (const auto& item : device->tree())
            if (item.first.compare(0, folder.size() + 1, folder + "/") == 0 &&
                Nuvaro::Sync::NameRules::isConflictCopyOf(item.first.substr(folder.size() + 1), fileName,
                                                          "Colleague"))
                copies.push_back(item.second);
        return copies;
    }
};

struct HoldCase {
    std::string what;
    // After the first sync of the case's folder (t.folder, holding
    // plan.txt): what keeps the colleague's change out.
    std::function<void(HeldBackChange&)> block;
    // The colleague's change that cannot be placed: `path` (below the
    // case's folder) gets `content` on the server.
    std::string path;
    std::string content;
    // The user makes room.
    std::function<void(HeldBackChange&)> unblock;
    // Changes held back: one report each per pass.
    std::size_t held;
    // Once placed.
    std::function<void(HeldBackChange&, const HoldCase&)> placed;
};

TEST_F(HeldBackChange, HoldsBackOnlyItselfAndIsPlacedOnceThereIsRoom) {
    if (::geteuid() == 0)
        return CloudSyncTest::expectPassesAsUnprivilegedUser();
    const std::string edit = "plan v2 by the colleague";
    auto placedAsSent = [](HeldBackChange& t, const HoldCase& c) {
        EXPECT_EQ(t.device->read(t.folder + "/" + c.path), c.content);
        EXPECT_TRUE(t.copiesOf(t.folder, c.path).empty());
    };
    const HoldCase cases[] = {
        {"an edit in a read-only folder", [](HeldBackChange& t) { t.setMode(t.folder, 0555); }, "plan.txt", edit,
         [](HeldBackChange& t) { t.setMode(t.folder, 0755); }, 1, placedAsSent},
        // The file itself stays writable: the user's edit is not sent over
        // the colleague's, and both end here once the folder is writable.
        {"an edit in a read-only folder whose file the user edited",
         [](HeldBackChange& t) {
             t.setMode(t.folder, 0555);
             t.device->write(t.folder + "/plan.txt", "my own edit of the plan", 100);
         },
         "plan.txt", edit, [](HeldBackChange& t) { t.setMode(t.folder, 0755); }, 1,
         [](HeldBackChange& t, const HoldCase& c) {
             EXPECT_EQ(t.device->read(t.folder + "/plan.txt"), "my own edit of the plan");
             EXPECT_EQ(t.copiesOf(t.folder, "plan.txt"), std::vector<std::string>{c.content});
         }},
        {"an edit in an unreadable folder", [](HeldBackChange& t) { t.setMode(t.folder, 0); }, "plan.txt", edit,
         [](HeldBackChange& t) { t.setMode(t.folder, 0755); }, 1, placedAsSent},
        {"a new folder where the user keeps a file of its name",
         [](HeldBackChange& t) { t.device->write(t.folder + "/sub", "my file named sub"); }, "sub/plan.txt",
         "their plan", [](HeldBackChange& t) { t.device->rename(t.folder + "/sub", t.folder + "/sub.txt"); }, 2,
         [&](HeldBackChange& t, const HoldCase& c) {
             placedAsSent(t, c);
             EXPECT_EQ(t.onServer(t.folder + "/sub.txt"), "my file named sub");
         }},
    };
    server.setApiPeer("web", "Colleague");
    device->settings["skipdeleteapproval"] = "1";
    ready();
    int round = 0;
    for (const HoldCase& c : cases) {
        SCOPED_TRACE(c.what);
        folder = "case" + std::to_string(++round);
        server.putFile(kUser, "/user1/" + folder + "/plan.txt", "plan v1");
        device->syncOnce();
        ASSERT_EQ(device->read(folder + "/plan.txt"), "plan v1");

        c.block(*this);
        server.putFile(kUser, "/user1/" + folder + "/" + c.path, c.content);
        server.putFile(kUser, "/user1/" + folder + "-also.txt", "placed beside");
        device->write(folder + "-notes.txt", "my notes");
        for (int pass = 1; pass <= 3; ++pass) {
            SCOPED_TRACE("pass " + std::to_string(pass));
            CloudSyncTest::LogCapture log({"Sync"});
            device->syncOnce();
            std::size_t errorLines = 0;
            for (const auto& entry : log.channel().entries())
                errorLines += entry.priority <= Poco::Message::PRIO_ERROR ? 1 : 0;
            EXPECT_EQ(errorLines, c.held) << log.dump();
            EXPECT_EQ(activities(FSActivity::TypeError).size(), c.held);
            EXPECT_EQ(onServer(folder + "-notes.txt"), "my notes");
            EXPECT_EQ(device->read(folder + "-also.txt"), "placed beside");
            // Nothing of the user's went up over it.
            EXPECT_EQ(onServer(folder + "/" + c.path), c.content);
            EXPECT_TRUE(heldBackFileExists());
        }

        c.unblock(*this);
        device->syncOnce();
        c.placed(*this, c);
        EXPECT_EQ(onServer(folder + "/" + c.path), c.content);
        EXPECT_TRUE(activities(FSActivity::TypeError).empty());
        EXPECT_FALSE(heldBackFileExists());
        device->syncOnce();
        EXPECT_FALSE(device->syncOnce()) << "still busy after the change was placed";
    }
}

} // namespace
} // namespace EngineTest
