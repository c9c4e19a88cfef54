// Staged downloads are their owner's only, whatever the umask and the data
// folder's mode: the staging folder and every folder in it are 0700 (also a
// staging folder an older version left open), the files the bodies are
// written to and the staged files 0600. The placed file gets the mode of the
// file it replaces, or a new file's usual one (0666 narrowed by the umask),
// by rename as by copy.

#include "LocalPlacesFixture.h"

#include "FileModes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace EngineTest {
namespace {

using CloudSyncTest::modeOf;

class PrivateStaging : public LocalPlacesTest {
protected:
    // The staging folder, or the staged form of a path of "My Files".
    std::string staging(const std::string& rel = "") const {
        return device->dataRoot() + "/.cache" + (rel.empty() ? "" : "/My Files/" + rel);
    }

    // What lies below `folder` now: each folder's mode by its path, and each
    // mode of a file a body is written to (".tmp.part") with one such file.
    // Entries that go while they are looked at count for nothing.
    void look(const std::string& folder, std::map<std::string, std::set<int>>& folders,
              std::map<int, std::string>& filling) {
        std::vector<std::string> names;
        try {
            Poco::File(folder).list(names);
        } catch (const Poco::Exception&) {
            return;
        }
        for (const std::string& name : names) {
            const std::string path = folder + "/" + name;
            struct stat info;
            if (::lstat(path.c_str(), &info) != 0)
                continue;
            if (S_ISDIR(info.st_mode)) {
                folders[path.substr(staging().size())].insert(static_cast<int>(info.st_mode & 07777));
                look(path, folders, filling);
            } else if (name.find(".tmp.part") != std::string::npos) {
                filling[static_cast<int>(info.st_mode & 07777)] = path;
            }
        }
    }
};

TEST_F(PrivateStaging, DownloadsStayOwnerOnlyUntilPlacedWhateverTheUmask) {
    CloudSyncTest::UmaskScope open(0);
    ASSERT_EQ(::chmod(device->dataRoot().c_str(), 0755), 0);
    ready();
    EXPECT_EQ(modeOf(staging()), 0700);

    for (const bool byCopy : {false, true}) {
        SCOPED_TRACE(byCopy ? "placed by copy" : "placed by rename");
        const std::string round = byCopy ? "copy" : "rename";
        device->write(round + "/kept.txt", "kept", 10);
        device->syncOnce();
        ASSERT_EQ(::chmod(device->path(round + "/kept.txt").c_str(), 0640), 0);
        // As an older version left it.
        ASSERT_EQ(::chmod(staging().c_str(), 0755), 0);
        server.putFile(kUser, "/user1/" + round + "/kept.txt", "kept, changed on the server", serverTime(20));
        const std::string big(200000, 'b'); // half a second at 400 kB/s
        server.putFile(kUser, "/user1/" + round + "/new/big.bin", big, serverTime(20));
        const int slow = server.addFault(TestFault::throttled("/download/*", 400000));
        PassWorker& worker = device->worker();
        worker.placeByCopyForTesting = byCopy;
        std::map<std::string, int> staged; // by path in "My Files", just before its placement
        worker.beforePlacementForTesting = [&](const std::string& localPath) {
            const std::string rel = localPath.substr(device->path("").size());
            staged[rel] = modeOf(staging(rel));
        };
        std::map<std::string, std::set<int>> folders;
        std::map<int, std::string> filling;
        std::atomic<bool> passed{false};
        std::thread pass([&] {
            device->syncOnce();
            passed = true;
        });
        EXPECT_TRUE(waitUntil(
            [&] {
                look(staging(), folders, filling);
                return passed.load();
            },
            20000));
        pass.join();
        server.removeFault(slow);
        worker.beforePlacementForTesting = nullptr;

        EXPECT_EQ(modeOf(staging()), 0700);
        // The folders made in it, as they were seen while the pass ran.
        EXPECT_EQ(folders.count("/My Files/" + round + "/new"), 1u);
        for (const auto& folder : folders)
            EXPECT_EQ(folder.second, std::set<int>{0700}) << folder.first;
        ASSERT_FALSE(filling.empty());
        EXPECT_EQ(filling.begin()->first, 0600) << filling.begin()->second;
        EXPECT_EQ(filling.rbegin()->first, 0600) << filling.rbegin()->second;
        EXPECT_EQ(staged, (std::map<std::string, int>{{round + "/kept.txt", 0600}, {round + "/new/big.bin", 0600}}));

        EXPECT_EQ(device->read(round + "/kept.txt"), "kept, changed on the server");
        EXPECT_EQ(modeOf(device->path(round + "/kept.txt")), 0640);
        EXPECT_TRUE(device->read(round + "/new/big.bin") == big);
        EXPECT_EQ(modeOf(device->path(round + "/new/big.bin")), 0666);
    }
}

} // namespace
} // namespace EngineTest
