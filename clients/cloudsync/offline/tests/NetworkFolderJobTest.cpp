// Network-folder jobs (syncType 0) against the test server with real
// folders and a real offline.db: the first download, one-sided changes in
// both directions, conflicts, remote deletes, the safety rules (a missing,
// empty or other local folder, failed or empty listings, server paths and links that would
// lead out of the job folder, FIFOs), large files, kill and events.

#include "OfflineJobFixture.h"

#include "EventRecorder.h"
#include "FOLocalFiles.h"
#include "FSActivity.h"
#include "FileModes.h"

#include "NuvaroUtil.h"
#include "Unprivileged.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <tuple>
#include <thread>

namespace OfflineTest {
namespace {

using Nuvaro::Sync::FSActivity;

using CloudSyncTest::expectPassesAsUnprivilegedUser;

class NetworkFolder : public JobTest {
protected:
    // Every path below folder (relative to it), files and folders.
    static std::vector<std::string> tree(const std::string& folder, const std::string& prefix = "") {
        std::vector<std::string> found;
        if (!Poco::File(folder).exists())
            return found;
        for (Poco::DirectoryIterator it(folder), end; it != end; ++it) {
            found.push_back(prefix + it.name());
            if (it->isDirectory() && !it->isLink())
                for (const std::string& below : tree(it.path().toString(), prefix + it.name() + "/"))
                    found.push_back(below);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    static bool contains(const std::vector<std::string>& texts, const std::string& part) {
        return std::any_of(texts.begin(), texts.end(),
                           [&part](const std::string& text) { return text.find(part) != std::string::npos; });
    }

    // A pair with a.txt ("alpha") and sub/b.txt ("bravo") synchronised once.
    JobDir synced(const std::string& name, bool remoteDelete = false) {
        JobDir pair = dir(name);
        pair.putServer("a.txt", "alpha", -7200);
        pair.putServer("sub/b.txt", "bravo", -7200);
        storeJob(pair, FOOfflineJobData::TYPE_NETWORK_FOLDER, remoteDelete);
        runJob(pair);
        EXPECT_EQ(pair.localContent("a.txt"), "alpha");
        EXPECT_EQ(pair.localContent("sub/b.txt"), "bravo");
        return pair;
    }

    // Starts a run of a synced() pair whose one download comes at
    // bytesPerSecond, and returns once its body is on its way (its temporary
    // file is there); empty when it did not get there within 20 s.
    std::unique_ptr<OfflineJobActivity> startSlowDownload(const JobDir& pair, Poco::Int64 bytesPerSecond) {
        server.addFault(TestFault::throttled("/download/*", bytesPerSecond));
        m_db->activityDeleteAll();
        boost::shared_ptr<FOOfflineJobData> job = m_db->getFOJobRecord(pair.local);
        std::unique_ptr<OfflineJobActivity> activity(new OfflineJobActivity(settingsList(), *job, m_db, false));
        activity->activity().start();
        if (!waitUntil([&] { return tree(pair.local).size() > 3; }, 20000))
            activity.reset();
        return activity;
    }

    // The lines at error level (or worse) that a capture saw.
    static long errorLines(CloudSyncTest::LogCapture& log) {
        const auto lines = log.channel().entries();
        return std::count_if(lines.begin(), lines.end(), [](const CloudSyncTest::RecordingChannel::Entry& line) {
            return line.priority <= Poco::Message::PRIO_ERROR;
        });
    }

    static int total(const OfflineJobActivity::Counts& counts) {
        return counts.downloaded + counts.uploaded + counts.conflicts + counts.deleted;
    }

    // A change on one side of a synchronised pair, and what the other side
    // shows after one run.
    struct OneSided {
        const char* what;
        bool remoteDelete;
        std::function<void(const JobDir&)> change;
        std::function<void(const JobDir&)> check;
    };
    // Each case on a pair of its own: one run carries the change over (one
    // item transferred or deleted), and the next run has nothing to do.
    void runOneSidedCases(const std::vector<OneSided>& cases) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const OneSided& c = cases[i];
            SCOPED_TRACE(c.what);
            JobDir pair = synced("case" + std::to_string(i), c.remoteDelete);
            c.change(pair);

            EXPECT_EQ(total(runJob(pair)), 1);
            c.check(pair);

            EXPECT_EQ(total(runJob(pair)), 0);
            c.check(pair);
            EXPECT_EQ(activities(FSActivity::TypeError), std::vector<std::string>{});
        }
    }
};

TEST_F(NetworkFolder, FirstRunMakesTheLocalFolderAndDownloadsEverything) {
    JobDir net = dir("net");
    net.putServer("a.txt", "alpha", -7200);
    net.putServer("sub/b.txt", "bravo!", -3600);
    net.putServer("sub/deep/c.txt", "", -60);
    ASSERT_TRUE(server.makeFolder(kUser, net.remotePath("empty")));
    storeJob(net);

    OfflineJobActivity::Counts counts = runJob(net);

    EXPECT_EQ(counts.downloaded, 3);
    EXPECT_EQ(tree(net.local), (std::vector<std::string>{"a.txt", "empty", "sub", "sub/b.txt", "sub/deep",
                                                          "sub/deep/c.txt"}));
    EXPECT_EQ(net.localContent("a.txt"), "alpha");
    EXPECT_EQ(net.localContent("sub/b.txt"), "bravo!");
    EXPECT_EQ(Poco::File(net.localPath("a.txt")).getLastModified(), wholeSecond(-7200));
    EXPECT_EQ(Poco::File(net.localPath("sub/deep/c.txt")).getLastModified(), wholeSecond(-60));
    auto file = row(net, "a.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->type, FOOfflineEntry::TYPE_FILE);
    EXPECT_EQ(file->size, 5);
    EXPECT_EQ(file->modified, wholeSecond(-7200).utcTime());
    EXPECT_EQ(file->parent, net.local);
    EXPECT_EQ(file->localLinkPath, net.local);
    for (const char* folder : {"sub", "sub/deep", "empty"}) {
        auto folderRow = row(net, folder);
        ASSERT_TRUE(folderRow) << folder;
        EXPECT_EQ(folderRow->type, FOOfflineEntry::TYPE_FOLDER);
    }
    EXPECT_FALSE(lastRun(net).empty());
    EXPECT_EQ(activities(FSActivity::TypeError), std::vector<std::string>{});
}

TEST_F(NetworkFolder, ServerChangesReachTheLocalFolder) {
    VaultpineTestServer* srv = &server;
    runOneSidedCases({
        {"server adds a file", false, [](const JobDir& d) { d.putServer("sub/new.txt", "server new", -60); },
         [](const JobDir& d) { EXPECT_EQ(d.localContent("sub/new.txt"), "server new"); }},
        {"server changes a file", false, [](const JobDir& d) { d.putServer("a.txt", "server edit", -60); },
         [](const JobDir& d) { EXPECT_EQ(d.localContent("a.txt"), "server edit"); }},
        {"server changes a file to the same size", false, [](const JobDir& d) { d.putServer("a.txt", "ALPHA", -60); },
         [](const JobDir& d) { EXPECT_EQ(d.localContent("a.txt"), "ALPHA"); }},
        {"server deletes a file", false,
         [srv](const JobDir& d) { ASSERT_TRUE(srv->removeItem("user1", d.remotePath("a.txt"))); },
         [](const JobDir& d) { EXPECT_FALSE(d.onDisk("a.txt")); }},
        {"server deletes a folder", false,
         [srv](const JobDir& d) { ASSERT_TRUE(srv->removeItem("user1", d.remotePath("sub"))); },
         [](const JobDir& d) { EXPECT_FALSE(d.onDisk("sub")); }},
    });
}

TEST_F(NetworkFolder, LocalChangesReachTheServer) {
    runOneSidedCases({
        {"local adds a file", false, [](const JobDir& d) { d.writeLocal("sub/mine.txt", "local new", -60, 250000); },
         [](const JobDir& d) { EXPECT_EQ(d.serverContent("sub/mine.txt"), "local new"); }},
        {"local adds a folder", false, [](const JobDir& d) { d.writeLocal("newdir/x.txt", "x", -60); },
         [](const JobDir& d) { EXPECT_EQ(d.serverContent("newdir/x.txt"), "x"); }},
        {"local changes a file", false, [](const JobDir& d) { d.writeLocal("a.txt", "local edit", -60); },
         [](const JobDir& d) { EXPECT_EQ(d.serverContent("a.txt"), "local edit"); }},
        {"local changes a file to the same size", false,
         [](const JobDir& d) { d.writeLocal("a.txt", "ALPHA", -60); },
         [](const JobDir& d) { EXPECT_EQ(d.serverContent("a.txt"), "ALPHA"); }},
        {"local deletes a file, remote delete on", true,
         [](const JobDir& d) { Poco::File(d.localPath("a.txt")).remove(); },
         [](const JobDir& d) {
             EXPECT_FALSE(d.onServer("a.txt"));
             EXPECT_FALSE(d.onDisk("a.txt"));
         }},
        {"local deletes a file, remote delete off", false,
         [](const JobDir& d) { Poco::File(d.localPath("a.txt")).remove(); },
         [](const JobDir& d) {
             EXPECT_EQ(d.serverContent("a.txt"), "alpha");
             EXPECT_EQ(d.localContent("a.txt"), "alpha");
         }},
        {"local deletes a folder, remote delete on", true,
         [](const JobDir& d) { Poco::File(d.localPath("sub")).remove(true); },
         [](const JobDir& d) {
             EXPECT_FALSE(d.onServer("sub"));
             EXPECT_FALSE(d.onDisk("sub"));
         }},
    });
}

TEST_F(NetworkFolder, ChangesOnBothSidesKeepTheLocalFileAndAConflictCopyBesideIt) {
    struct Case {
        const char* what;
        std::string file;
        std::string serverText;
        std::string conflictCopy;
    };
    std::vector<Case> cases = {
        {"both sides changed a file", "a.txt", "server edit, longer", "Conflict_a.txt"},
        {"both sides changed a file in a subfolder", "sub/b.txt", "server edit, longer", "sub/Conflict_b.txt"},
        {"both sides made a new file of different sizes", "new.txt", "server edit, longer", "Conflict_new.txt"},
        {"both sides made a new file of the same size", "same.txt", "SERVER EDI", "Conflict_same.txt"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        JobDir pair = synced("case" + std::to_string(i));
        pair.writeLocal(c.file, "local edit", -60);
        pair.putServer(c.file, c.serverText, -30);

        OfflineJobActivity::Counts counts = runJob(pair);

        EXPECT_EQ(counts.conflicts, 1);
        EXPECT_EQ(pair.localContent(c.file), "local edit");
        EXPECT_EQ(pair.localContent(c.conflictCopy), c.serverText);
        EXPECT_EQ(pair.serverContent(c.file), c.serverText);
        EXPECT_FALSE(pair.onServer(c.conflictCopy));
        EXPECT_FALSE(pair.onDisk(c.file + ".part"));
        EXPECT_TRUE(contains(activities(FSActivity::TypeConflict), pair.localPath(c.file)));

        // While the conflict copy lies beside it, the local file is held back.
        EXPECT_EQ(total(runJob(pair)), 0);
        EXPECT_EQ(pair.serverContent(c.file), c.serverText);

        // The user resolves the conflict by removing the copy: the local file goes up.
        Poco::File(pair.localPath(c.conflictCopy)).remove();
        EXPECT_EQ(runJob(pair).uploaded, 1);
        EXPECT_EQ(pair.serverContent(c.file), "local edit");
        EXPECT_EQ(total(runJob(pair)), 0);
    }
}

// Regression: a file changed right after its last byte went up was reported
// as failed although the server had stored it; the next run found the
// server's copy changed since the row, held the local file back and kept the
// job's own upload beside it as a conflict copy. The row now holds the
// version sent (its checksum only while the file is that version), and the
// next run sends the newer file.
TEST_F(NetworkFolder, AFileAppendedToRightAfterItsUploadIsSentAgainWithoutAConflictCopy) {
    m_settings["checkcrc"] = "1";
    JobDir pair = synced("net");
    pair.writeLocal("a.txt", "alpha, edited", -60);
    server.clearRequests();
    // The server stores the upload (the request is logged), then answers late.
    const int late = server.addFault(TestFault::withDelay("/upload", 300));
    std::thread user([&] {
        if (server.waitForRequests("/upload", 1, 20000))
            std::ofstream(pair.localPath("a.txt"), std::ios::binary | std::ios::app) << " and appended";
    });
    const OfflineJobActivity::Counts first = runJob(pair);
    user.join();
    server.removeFault(late);
    EXPECT_EQ(first.uploaded, 1);
    EXPECT_EQ(pair.serverContent("a.txt"), "alpha, edited");
    auto stored = row(pair, "a.txt");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size, 13);
    EXPECT_EQ(stored->modified, wholeSecond(-60).utcTime());
    EXPECT_EQ(stored->fileCrc, "");

    const OfflineJobActivity::Counts second = runJob(pair);
    EXPECT_EQ(second.uploaded, 1);
    EXPECT_EQ(second.conflicts, 0);
    EXPECT_EQ(pair.serverContent("a.txt"), "alpha, edited and appended");
    EXPECT_EQ(pair.localContent("a.txt"), "alpha, edited and appended");
    EXPECT_FALSE(pair.onDisk("Conflict_a.txt"));
    stored = row(pair, "a.txt");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size, 26);
    EXPECT_NE(stored->fileCrc, "");
    EXPECT_EQ(total(runJob(pair)), 0);
}

TEST_F(NetworkFolder, FileDeletedOnTheServerButEditedLocallyIsKeptAndSentAgain) {
    JobDir pair = synced("net");
    ASSERT_TRUE(server.removeItem(kUser, pair.remotePath("a.txt")));
    ASSERT_TRUE(server.removeItem(kUser, pair.remotePath("sub")));
    pair.writeLocal("a.txt", "ALPHA", -60); // the same size: still an edit
    pair.writeLocal("sub/c.txt", "new here", -60);
    pair.putServer("keep.txt", "keep", -60); // an empty listing of the job's folder is never trusted

    OfflineJobActivity::Counts counts = runJob(pair);

    EXPECT_EQ(pair.localContent("a.txt"), "ALPHA");
    EXPECT_EQ(pair.serverContent("a.txt"), "ALPHA");
    // The folder went with its unchanged file; what the user added stays and goes up again.
    EXPECT_FALSE(pair.onDisk("sub/b.txt"));
    EXPECT_EQ(pair.localContent("sub/c.txt"), "new here");
    EXPECT_EQ(pair.serverContent("sub/c.txt"), "new here");
    EXPECT_FALSE(pair.onServer("sub/b.txt"));
    EXPECT_EQ(counts.uploaded, 2); // a.txt and sub/c.txt (sub is made again on the way)
    EXPECT_EQ(counts.downloaded, 1); // keep.txt
    EXPECT_EQ(total(runJob(pair)), 0);
}

TEST_F(NetworkFolder, OnlyTheJobsOwnConflictCopyHoldsAFileBack) {
    JobDir pair = dir("net");
    pair.putServer("hello.txt", "hello", -7200);
    pair.putServer("Conflict_hello.txt", "a colleague's file", -7200);
    storeJob(pair, FOOfflineJobData::TYPE_NETWORK_FOLDER, true);
    EXPECT_EQ(runJob(pair).downloaded, 2);
    EXPECT_EQ(pair.localContent("Conflict_hello.txt"), "a colleague's file");

    // Both go up like any other file.
    pair.writeLocal("hello.txt", "hello, edited", -60);
    pair.writeLocal("Conflict_hello.txt", "a colleague's file, edited", -60);
    EXPECT_EQ(runJob(pair).uploaded, 2);
    EXPECT_EQ(pair.serverContent("hello.txt"), "hello, edited");
    EXPECT_EQ(pair.serverContent("Conflict_hello.txt"), "a colleague's file, edited");
    EXPECT_EQ(total(runJob(pair)), 0);

    // A conflict on hello.txt: its copy's name is taken by a real file,
    // which is not overwritten; neither side of hello.txt is lost.
    m_db->activityDeleteAll();
    pair.writeLocal("hello.txt", "local side", -30);
    pair.putServer("hello.txt", "server side, longer", -20);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        runJob(pair);
        EXPECT_EQ(pair.localContent("hello.txt"), "local side");
        EXPECT_EQ(pair.serverContent("hello.txt"), "server side, longer");
        EXPECT_EQ(pair.localContent("Conflict_hello.txt"), "a colleague's file, edited");
        EXPECT_EQ(pair.serverContent("Conflict_hello.txt"), "a colleague's file, edited");
    }
    EXPECT_TRUE(contains(activities(FSActivity::TypeError),
                         "Conflict copy name in use, not overwriting: " + pair.localPath("Conflict_hello.txt")));
}

TEST_F(NetworkFolder, DownloadIntoAServerFolderNamedConflictIsNoConflictCopy) {
    JobDir pair = dir("net");
    pair.putServer("Conflict_Analysis/report.txt", "report", -3600);
    storeJob(pair, FOOfflineJobData::TYPE_NETWORK_FOLDER, true);

    EXPECT_EQ(runJob(pair).downloaded, 1);
    EXPECT_EQ(pair.localContent("Conflict_Analysis/report.txt"), "report");
    EXPECT_FALSE(pair.onDisk("Conflict_Analysis/report.txt.part"));

    // With remote delete on, the next run must not take it for deleted locally.
    runJob(pair);
    EXPECT_EQ(pair.serverContent("Conflict_Analysis/report.txt"), "report");
    EXPECT_EQ(pair.localContent("Conflict_Analysis/report.txt"), "report");
}

TEST_F(NetworkFolder, NamesLikeATemporaryFileAndLongNamesSyncLikeAnyOther) {
    JobDir pair = dir("net");
    const std::string longName = std::string(249, 'n') + ".bin"; // 253 bytes
    pair.putServer("big.bin", "version 1", -7200);
    pair.putServer("big.bin.part", "a colleague's file", -7200);
    pair.putServer(longName, "long name", -7200);
    storeJob(pair, FOOfflineJobData::TYPE_NETWORK_FOLDER, true);

    EXPECT_EQ(runJob(pair).downloaded, 3);
    EXPECT_EQ(pair.localContent("big.bin.part"), "a colleague's file");
    EXPECT_EQ(pair.localContent(longName), "long name");

    pair.putServer("big.bin", "version 2, longer", -60);
    pair.writeLocal("mine.part", "my own .part file", -60);
    OfflineJobActivity::Counts counts = runJob(pair);

    EXPECT_EQ(counts.downloaded, 1);
    EXPECT_EQ(counts.uploaded, 1);
    EXPECT_EQ(counts.deleted, 0);
    EXPECT_EQ(pair.localContent("big.bin"), "version 2, longer");
    EXPECT_EQ(pair.localContent("big.bin.part"), "a colleague's file");
    EXPECT_EQ(pair.serverContent("big.bin.part"), "a colleague's file");
    EXPECT_EQ(pair.serverContent("mine.part"), "my own .part file");
    EXPECT_EQ(total(runJob(pair)), 0);
    EXPECT_EQ(pair.serverContent("big.bin.part"), "a colleague's file");
    EXPECT_EQ(tree(pair.local), (std::vector<std::string>{"big.bin", "big.bin.part", "mine.part", longName}));
    EXPECT_EQ(activities(FSActivity::TypeError), std::vector<std::string>{});
}

TEST_F(NetworkFolder, RemoteDeleteRemovesOnlyWhatIsUnchangedOnTheServer) {
    struct Case {
        const char* what;
        std::function<void(const JobDir&)> change;
        std::function<void(const JobDir&)> check;
    };
    VaultpineTestServer* srv = &server;
    std::vector<Case> cases = {
        {"a file changed on the server since the last run comes back",
         [](const JobDir& d) {
             Poco::File(d.localPath("a.txt")).remove();
             d.putServer("a.txt", "ALPHA", -60); // same size, newer
         },
         [](const JobDir& d) {
             EXPECT_EQ(d.serverContent("a.txt"), "ALPHA");
             EXPECT_EQ(d.localContent("a.txt"), "ALPHA");
         }},
        {"a folder the server added to since the last run keeps the addition",
         [](const JobDir& d) {
             Poco::File(d.localPath("sub")).remove(true);
             d.putServer("sub/added.txt", "colleague", -60);
         },
         [](const JobDir& d) {
             EXPECT_EQ(d.serverContent("sub/added.txt"), "colleague");
             EXPECT_EQ(d.localContent("sub/added.txt"), "colleague");
             // What the user deleted and nobody changed is deleted.
             EXPECT_FALSE(d.onServer("sub/b.txt"));
             EXPECT_FALSE(d.onDisk("sub/b.txt"));
         }},
        {"a folder with a file changed on the server keeps that file",
         [](const JobDir& d) {
             Poco::File(d.localPath("sub")).remove(true);
             d.putServer("sub/b.txt", "BRAVO", -60);
         },
         [](const JobDir& d) {
             EXPECT_EQ(d.serverContent("sub/b.txt"), "BRAVO");
             EXPECT_EQ(d.localContent("sub/b.txt"), "BRAVO");
         }},
        {"an unchanged folder goes",
         [](const JobDir& d) { Poco::File(d.localPath("sub")).remove(true); },
         [srv](const JobDir& d) {
             EXPECT_FALSE(d.onServer("sub"));
             EXPECT_FALSE(srv->item("user1", d.remotePath("sub/b.txt")).has_value());
         }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        JobDir pair = synced("case" + std::to_string(i), true);
        cases[i].change(pair);
        runJob(pair);
        cases[i].check(pair);
    }
}

TEST_F(NetworkFolder, MissingLocalFolderOfAJobThatRanBeforeFailsTheRunAndDeletesNothing) {
    JobDir pair = synced("net", true);
    const std::string stamped = lastRun(pair);
    // An unplugged disk: the folder is gone.
    Poco::File(pair.local).renameTo(pair.local + ".away");

    OfflineJobActivity::Counts counts = runJob(pair);

    EXPECT_EQ(total(counts), 0);
    EXPECT_FALSE(Poco::File(pair.local).exists());
    EXPECT_EQ(pair.serverContent("a.txt"), "alpha");
    EXPECT_EQ(pair.serverContent("sub/b.txt"), "bravo");
    EXPECT_TRUE(row(pair, "a.txt"));
    EXPECT_EQ(lastRun(pair), stamped);
    EXPECT_EQ(activities(FSActivity::TypeError),
              std::vector<std::string>{"ERROR: Local folder doesn't exist " + pair.local});
}

// The empty mount point of a disk that is not mounted (or a folder emptied
// by accident), or another disk mounted in its place, is not the folder of
// the last run: with remote delete on, what is missing there must not be
// taken for deleted by the user. Such a run deletes nothing on the server,
// fails with one error entry and one error line and keeps its rows; with
// the disk back the job goes on as before, and a local deletion of some
// items, with others still there, goes to the server as it always did.
TEST_F(NetworkFolder, EmptyOrOtherLocalFolderDeletesNothingOnTheServer) {
    struct Case {
        const char* what;
        std::function<void(const JobDir&)> away; // the disk goes
        std::function<void(const JobDir&)> back; // and comes back
        int transfersBack;                       // in the first run with the disk back
    };
    FOOfflineDB* db = m_db.get();
    auto unmounted = [](const JobDir& d) {
        Poco::File(d.local).renameTo(d.local + ".disk");
        Poco::File(d.local).createDirectory();
    };
    auto mounted = [](const JobDir& d) {
        Poco::File(d.local).remove();
        Poco::File(d.local + ".disk").renameTo(d.local);
    };
    auto recorded = std::make_shared<std::string>();
    std::vector<Case> cases = {
        {"the folder is empty", unmounted, mounted, 0},
        // Not every item would be deleted (one comes down again), but none of
        // them is there any more.
        {"the folder is empty and the server changed a file since",
         [unmounted](const JobDir& d) {
             unmounted(d);
             d.putServer("a.txt", "ALPHA", -60);
         },
         mounted, 1},
        // Another file system than at the last run, where only one file is
        // missing: no deletion is taken from it either.
        {"the folder is on another file system",
         [db, recorded](const JobDir& d) {
             *recorded = db->getFOJobDevice(d.local);
             ASSERT_EQ(*recorded, Nuvaro::Sync::FOLocalDeviceOf(d.local));
             ASSERT_TRUE(db->FOSetJobDevice(d.local, "dev:8:99"));
             Poco::File(d.localPath("a.txt")).renameTo(d.local + ".a.txt");
         },
         [db, recorded](const JobDir& d) {
             ASSERT_TRUE(db->FOSetJobDevice(d.local, *recorded));
             Poco::File(d.local + ".a.txt").renameTo(d.localPath("a.txt"));
         },
         0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        JobDir pair = synced("case" + std::to_string(i), true);
        const std::string stamped = lastRun(pair);
        m_db->activityDeleteAll();
        c.away(pair);
        const std::vector<std::string> left = tree(pair.local);
        server.clearRequests();
        CloudSyncTest::LogCapture log({"OfflineJobActivity"});

        EXPECT_EQ(total(runJob(pair)), 0);

        EXPECT_TRUE(server.requests("/app/explorer/deletefile").empty());
        EXPECT_TRUE(pair.onServer("a.txt"));
        EXPECT_EQ(pair.serverContent("sub/b.txt"), "bravo");
        EXPECT_EQ(tree(pair.local), left);
        for (const char* item : {"a.txt", "sub", "sub/b.txt"})
            EXPECT_TRUE(row(pair, item)) << item;
        EXPECT_EQ(lastRun(pair), stamped);
        EXPECT_EQ(activities(FSActivity::TypeError),
                  std::vector<std::string>{"ERROR: Local folder is empty or not the one of the last run " +
                                           pair.local});
        EXPECT_EQ(errorLines(log), 1) << log.dump();

        c.back(pair);
        EXPECT_EQ(total(runJob(pair)), c.transfersBack);
        EXPECT_EQ(tree(pair.local), (std::vector<std::string>{"a.txt", "sub", "sub/b.txt"}));
        EXPECT_EQ(pair.localContent("a.txt"), pair.serverContent("a.txt"));
        Poco::File(pair.localPath("a.txt")).remove();
        EXPECT_EQ(runJob(pair).deleted, 1);
        EXPECT_FALSE(pair.onServer("a.txt"));
        EXPECT_EQ(pair.serverContent("sub/b.txt"), "bravo");
        EXPECT_EQ(activities(FSActivity::TypeError).size(), 1u);
    }
}

TEST_F(NetworkFolder, FoldersThatCannotBeReadDeleteNothingOnTheServer) {
    if (::geteuid() == 0)
        return expectPassesAsUnprivilegedUser();
    struct Case {
        const char* what;
        const char* unreadable; // relative to the job folder
        bool jobSkipped;
    };
    const Case cases[] = {
        {"an unreadable subfolder", "sub", false},
        {"an unreadable job folder", "", true},
    };
    for (std::size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        JobDir pair = dir("case" + std::to_string(i));
        pair.putServer("a.txt", "alpha", -7200);
        pair.putServer("sub/b.txt", "bravo", -7200);
        pair.putServer("sub/deep/c.txt", "charlie", -7200);
        storeJob(pair, FOOfflineJobData::TYPE_NETWORK_FOLDER, true);
        runJob(pair);
        ASSERT_EQ(pair.localContent("sub/deep/c.txt"), "charlie");
        const std::string stamped = lastRun(pair);
        m_db->activityDeleteAll();
        const std::string unreadable = pair.localPath(c.unreadable);
        ASSERT_EQ(::chmod(unreadable.c_str(), 0), 0);
        ASSERT_NE(::access(unreadable.c_str(), R_OK), 0) << "the folder is still readable: not unprivileged";
        CloudSyncTest::LogCapture log({"OfflineJobActivity"});

        OfflineJobActivity::Counts counts = runJob(pair);
        ::chmod(unreadable.c_str(), 0755);

        EXPECT_EQ(counts.deleted, 0);
        for (const char* file : {"a.txt", "sub/b.txt", "sub/deep/c.txt"}) {
            EXPECT_TRUE(pair.onServer(file)) << file;
            EXPECT_TRUE(pair.onDisk(file)) << file;
        }
        EXPECT_EQ(pair.localContent("sub/deep/c.txt"), "charlie");
        if (c.jobSkipped) {
            EXPECT_EQ(activities(FSActivity::TypeError),
                      std::vector<std::string>{"ERROR: Local folder cannot be read " + pair.local});
            EXPECT_EQ(errorLines(log), 1) << log.dump();
            EXPECT_TRUE(server.requests("/core/getfilelist").size() >= 1);
            EXPECT_EQ(lastRun(pair), stamped);
        }
        // Readable again, nothing is left to do.
        EXPECT_EQ(total(runJob(pair)), 0);
    }
}

TEST_F(NetworkFolder, CreateRemoteBaseFolderFailsWhenTheLocalFolderCannotBeMade) {
    JobDir pair = dir("net");
    pair.putServer("a.txt", "alpha", -3600);
    m_tmp.write("blocker", "a file where a folder would go");
    pair.local = m_tmp / "blocker/net"; // making it throws
    storeJob(pair);

    EXPECT_EQ(total(runJob(pair)), 0);

    EXPECT_TRUE(server.requests("/core/getfilelist").empty());
    EXPECT_EQ(lastRun(pair), "");
}

TEST_F(NetworkFolder, DownloadOKRecordsTheDownloadedFile) {
    m_settings["checkcrc"] = "1";
    m_settings["checkmodtime"] = "1";
    JobDir pair = dir("net");
    pair.putServer("a.txt", "alpha", -3600);
    storeJob(pair);

    runJob(pair);

    auto stored = row(pair, "a.txt");
    ASSERT_TRUE(stored);
    std::string crc;
    ASSERT_TRUE(Nuvaro::Util::getFileCRC(pair.localPath("a.txt"), crc, 0, 5));
    EXPECT_EQ(stored->fileCrc, crc);
    EXPECT_EQ(stored->fileMod,
              Poco::DateTimeFormatter::format(wholeSecond(-3600), Poco::DateTimeFormat::SORTABLE_FORMAT));

    // With checksums on, a same-size edit within the same second is found too.
    pair.writeLocal("a.txt", "ALPHA", -3600);
    EXPECT_EQ(runJob(pair).uploaded, 1);
    EXPECT_EQ(pair.serverContent("a.txt"), "ALPHA");
}

TEST_F(NetworkFolder, FailedOrEmptyListingOfASubfolderDeletesNothing) {
    struct Case {
        const char* what;
        std::function<void(const JobDir&)> arrange;
        bool filesStay;
        const char* errorEntry;
    };
    VaultpineTestServer* srv = &server;
    auto secondListing = [](TestFault fault) {
        fault.skip = 1; // the job's own folder is listed first, then sub
        fault.times = 1;
        return fault;
    };
    std::vector<Case> cases = {
        {"the listing fails",
         [srv, secondListing](const JobDir&) {
             srv->addFault(secondListing(TestFault::withStatus("/core/getfilelist", 500)));
         },
         true, "Failed: "},
        {"the listing comes back empty while the files are there",
         [srv, secondListing](const JobDir&) {
             srv->addFault(secondListing(TestFault::withBody(
                 "/core/getfilelist", "<?xml version=\"1.0\"?><entries><meta><total>0</total></meta></entries>")));
         },
         true, "Remote folder listing is empty but its items still exist"},
        {"the server really emptied the folder",
         [srv](const JobDir& d) { ASSERT_TRUE(srv->removeItem("user1", d.remotePath("sub/b.txt"))); }, false,
         nullptr},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        JobDir pair = synced("case" + std::to_string(i));
        m_db->activityDeleteAll();
        c.arrange(pair);

        runJob(pair);
        server.clearFaults();

        EXPECT_EQ(pair.onDisk("sub/b.txt"), c.filesStay);
        EXPECT_EQ(static_cast<bool>(row(pair, "sub/b.txt")), c.filesStay);
        EXPECT_TRUE(pair.onDisk("sub"));
        if (c.errorEntry) {
            EXPECT_TRUE(contains(activities(FSActivity::TypeError), c.errorEntry));
        } else {
            EXPECT_EQ(activities(FSActivity::TypeError), std::vector<std::string>{});
        }
    }
}

TEST_F(NetworkFolder, ServerPathsLeadingOutOfTheJobFolderAreRefused) {
    JobDir pair = dir("net");
    server.putFile(kUser, "/user1/other/escape.txt", "evil", wholeSecond(-60));
    storeJob(pair);
    auto entry = [](const std::string& path, const std::string& name) {
        return "<entry><path>" + path + "</path><dirpath>/user1/net/</dirpath><name>" + name +
               "</name><type>file</type><fullsize>4</fullsize><modifiedepoch>1709280000</modifiedepoch></entry>";
    };
    server.addFault(TestFault::withBody("/core/getfilelist",
                                        "<?xml version=\"1.0\"?><entries><meta><total>3</total></meta>" +
                                            entry("/user1/net/../escape.txt", "escape.txt") +
                                            entry("/user1/other/escape.txt", "escape.txt") +
                                            entry("/user1/net//escape.txt", "escape.txt") + "</entries>"));
    CloudSyncTest::LogCapture log({"OfflineJobActivity"});

    runJob(pair);

    EXPECT_EQ(tree(pair.local), std::vector<std::string>{});
    EXPECT_FALSE(Poco::File(m_tmp / "escape.txt").exists());
    EXPECT_FALSE(Poco::File(m_tmp / "neter").exists());
    EXPECT_TRUE(log.contains("Refusing server path outside the job folder: /user1/net/../escape.txt"));
    EXPECT_TRUE(log.contains("Refusing server path outside the job folder: /user1/other/escape.txt"));
    EXPECT_TRUE(server.requests("/core/downloadfile").empty());
}

TEST_F(NetworkFolder, NothingIsWrittenThroughALinkInTheJobFolder) {
    JobDir pair = synced("net", true);
    Poco::File(m_tmp / "outside").createDirectories();
    ASSERT_EQ(::symlink((m_tmp / "outside").c_str(), pair.localPath("linked").c_str()), 0);
    pair.putServer("linked/x.txt", "through the link", -60);

    runJob(pair);

    EXPECT_EQ(tree(m_tmp / "outside"), std::vector<std::string>{});
    EXPECT_EQ(pair.serverContent("linked/x.txt"), "through the link");
}

TEST_F(NetworkFolder, AJobFolderThatIsALinkWorksLikeAFolder) {
    JobDir pair = dir("net");
    pair.putServer("a.txt", "alpha", -7200);
    pair.putServer("b.txt", "bravo", -7200);
    Poco::File(m_tmp / "real").createDirectories();
    ASSERT_EQ(::symlink((m_tmp / "real").c_str(), pair.local.c_str()), 0);
    storeJob(pair, FOOfflineJobData::TYPE_NETWORK_FOLDER, true);

    EXPECT_EQ(runJob(pair).downloaded, 2);
    EXPECT_EQ(CloudSyncTest::TempFolder::read(m_tmp / "real/a.txt"), "alpha");

    Poco::File(pair.localPath("a.txt")).remove();
    pair.writeLocal("c.txt", "charlie", -60);
    OfflineJobActivity::Counts counts = runJob(pair);
    EXPECT_EQ(counts.deleted, 1);
    EXPECT_EQ(counts.uploaded, 1);
    EXPECT_FALSE(pair.onServer("a.txt"));
    EXPECT_EQ(pair.serverContent("c.txt"), "charlie");
}

TEST_F(NetworkFolder, SpecialFilesInTheJobFolderAreSkipped) {
    JobDir pair = synced("net");
    ASSERT_EQ(::mkfifo(pair.localPath("pipe").c_str(), 0600), 0);
    pair.writeLocal("plain.txt", "plain", -60);

    OfflineJobActivity::Counts counts = runJob(pair); // a FIFO that was opened would block here

    EXPECT_EQ(counts.uploaded, 1);
    EXPECT_FALSE(pair.onServer("pipe"));
    EXPECT_EQ(pair.serverContent("plain.txt"), "plain");
}

TEST_F(NetworkFolder, FilesAbove20MiBGoUpInPieces) {
    struct Case {
        Poco::Int64 size;
        std::vector<std::string> offsets;
    } cases[] = {
        {20971520, {""}},
        {20971521, {"0", "10485760", "20971520"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        JobDir pair = dir("big" + std::to_string(c.size));
        storeJob(pair);
        pair.writeLocal("big.bin", "", -60);
        ASSERT_EQ(::truncate(pair.localPath("big.bin").c_str(), c.size), 0);
        Poco::File(pair.localPath("big.bin")).setLastModified(wholeSecond(-60));
        server.clearRequests();

        EXPECT_EQ(runJob(pair).uploaded, 1);

        std::vector<std::string> offsets;
        for (const RecordedRequest& sent : server.requests("/upload"))
            offsets.push_back(sent.queryField("offset"));
        EXPECT_EQ(offsets, c.offsets);
        auto stored = server.item(kUser, pair.remotePath("big.bin"));
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->size, c.size);
        EXPECT_EQ(total(runJob(pair)), 0);
    }
}

TEST_F(NetworkFolder, KillEndsTheRunBetweenItemsWithoutStampingIt) {
    JobDir pair = dir("net");
    for (int i = 0; i < 6; ++i)
        pair.putServer("f" + std::to_string(i) + ".txt", "content", -3600);
    storeJob(pair);
    m_settings["maxthreads"] = "1";
    server.addFault(TestFault::withDelay("/core/downloadfile", 300));
    boost::shared_ptr<FOOfflineJobData> job = m_db->getFOJobRecord(pair.local);
    OfflineJobActivity activity(settingsList(), *job, m_db, false);

    activity.activity().start();
    ASSERT_TRUE(server.waitForRequests("/core/downloadfile", 1, 10000));
    activity.killJob();
    EXPECT_NO_THROW(activity.activity().wait(10000));

    EXPECT_TRUE(activity.isDone());
    EXPECT_LT(activity.counts().downloaded, 6);
    EXPECT_EQ(lastRun(pair), "");
}

TEST_F(NetworkFolder, StopDuringASlowDownloadEndsWithinSecondsAndLeavesNothingBehind) {
    JobDir pair = synced("net");
    const std::string big(2000000, 'x'); // 40 s at 50 kB/s
    pair.putServer("big.bin", big, -60);
    std::unique_ptr<OfflineJobActivity> running = startSlowDownload(pair, 50000);
    ASSERT_TRUE(running);
    OfflineJobActivity& activity = *running;
    const auto stopped = std::chrono::steady_clock::now();
    activity.killJob();
    EXPECT_NO_THROW(activity.activity().wait(15000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(15));

    EXPECT_TRUE(activity.isDone());
    EXPECT_EQ(tree(pair.local), (std::vector<std::string>{"a.txt", "sub", "sub/b.txt"}));
    EXPECT_EQ(activities(FSActivity::TypeError), std::vector<std::string>{});
    server.clearFaults();
    EXPECT_EQ(runJob(pair).downloaded, 1);
    EXPECT_TRUE(pair.localContent("big.bin") == big);
}

// A server that holds its reply for a minute, in each phase of a run: the
// kill ends the run within seconds, as a stop (no error entry, the files as
// they were), and the next run does what was left.
TEST_F(NetworkFolder, KillEndsARunWhoseRequestTheServerHoldsWithinSeconds) {
    struct Case {
        const char* what;
        const char* path;
        std::function<void(const JobDir&)> change;
        std::function<void(const JobDir&)> done;
    };
    const Case cases[] = {
        {"listing", "/core/getfilelist", [](const JobDir&) {},
         [](const JobDir& pair) { EXPECT_EQ(pair.localContent("a.txt"), "alpha"); }},
        {"download", "/core/downloadfile", [](const JobDir& pair) { pair.putServer("new.txt", "from the server", -60); },
         [](const JobDir& pair) { EXPECT_EQ(pair.localContent("new.txt"), "from the server"); }},
        {"upload", "/upload", [](const JobDir& pair) { pair.writeLocal("mine.txt", "from this device", -60); },
         [](const JobDir& pair) { EXPECT_EQ(pair.serverContent("mine.txt"), "from this device"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobDir pair = synced(std::string("held-") + c.what);
        c.change(pair);
        const std::string lastRunBefore = lastRun(pair);
        m_db->activityDeleteAll();
        const int held = server.addFault(TestFault::withDelay(c.path, 60000));
        boost::shared_ptr<FOOfflineJobData> job = m_db->getFOJobRecord(pair.local);
        OfflineJobActivity activity(settingsList(), *job, m_db, false);
        activity.activity().start();
        ASSERT_TRUE(waitUntil([&] { return server.requestsInFlight(c.path) > 0; }, 20000));
        const auto stopped = std::chrono::steady_clock::now();
        activity.killJob();
        EXPECT_NO_THROW(activity.activity().wait(10000));
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
        EXPECT_TRUE(activity.isDone());
        EXPECT_EQ(activities(FSActivity::TypeError), std::vector<std::string>{});
        EXPECT_EQ(pair.localContent("a.txt"), "alpha");
        EXPECT_EQ(lastRun(pair), lastRunBefore);

        server.removeFault(held);
        runJob(pair);
        c.done(pair);
    }
}

TEST_F(NetworkFolder, ALocalEditDuringADownloadIsNotOverwritten) {
    JobDir pair = synced("net");
    const std::string big(500000, 'x'); // 5 s at 100 kB/s
    pair.putServer("a.txt", big, -60);
    std::unique_ptr<OfflineJobActivity> running = startSlowDownload(pair, 100000);
    ASSERT_TRUE(running);
    OfflineJobActivity& activity = *running;
    pair.writeLocal("a.txt", "edited while the server's copy came down", -30);
    EXPECT_NO_THROW(activity.activity().wait(60000));

    EXPECT_EQ(pair.localContent("a.txt"), "edited while the server's copy came down");
    EXPECT_EQ(tree(pair.local), (std::vector<std::string>{"a.txt", "sub", "sub/b.txt"}));
    EXPECT_TRUE(contains(activities(FSActivity::TypeError), "Local file changed during download"));
    EXPECT_TRUE(pair.serverContent("a.txt") == big); // the local edit did not go over it either
    // The next run sees both sides changed: the server's copy comes down beside it.
    server.clearFaults();
    EXPECT_EQ(runJob(pair).conflicts, 1);
    EXPECT_EQ(pair.localContent("a.txt"), "edited while the server's copy came down");
    EXPECT_TRUE(pair.localContent("Conflict_a.txt") == big);
    EXPECT_TRUE(pair.serverContent("a.txt") == big);
}

// Whatever the umask, a download is its owner's only while it comes down
// (another user can neither read it nor change it before it is placed);
// placed, a new file has the usual mode (0666 narrowed by the umask) and a
// replaced one keeps its own.
TEST_F(NetworkFolder, DownloadsArePrivateUntilPlacedAndThenGetTheUsualMode) {
    CloudSyncTest::UmaskScope open(0);
    JobDir pair = synced("net");
    ASSERT_EQ(::chmod(pair.localPath("a.txt").c_str(), 0640), 0);
    pair.putServer("a.txt", "alpha, changed on the server", -60);
    const std::string big(100000, 'b'); // 1 s at 100 kB/s
    pair.putServer("big.bin", big, -60);
    std::unique_ptr<OfflineJobActivity> running = startSlowDownload(pair, 100000);
    ASSERT_TRUE(running);
    // The modes of the files the bodies were written to, seen beside the
    // targets while they filled, each with a file that had it (one renamed
    // between the listing and the look counts for nothing). Once whole, such
    // a file is renamed to NAME.<pid>-<n>.tmp.part, which takes the target's
    // mode just before its own rename onto the target.
    std::map<int, std::string> seen;
    EXPECT_TRUE(waitUntil(
        [&] {
            std::vector<std::string> names;
            Poco::File(pair.local).list(names);
            for (const std::string& name : names) {
                const int mode = CloudSyncTest::modeOf(pair.localPath(name));
                if (name.find(".tmp.part.") != std::string::npos && mode != -1)
                    seen[mode] = name;
            }
            return running->isDone();
        },
        20000));
    EXPECT_NO_THROW(running->activity().wait(10000));

    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.begin()->first, 0600) << seen.begin()->second;
    EXPECT_EQ(seen.rbegin()->first, 0600) << seen.rbegin()->second;
    EXPECT_EQ(pair.localContent("a.txt"), "alpha, changed on the server");
    EXPECT_EQ(CloudSyncTest::modeOf(pair.localPath("a.txt")), 0640);
    EXPECT_TRUE(pair.localContent("big.bin") == big);
    EXPECT_EQ(CloudSyncTest::modeOf(pair.localPath("big.bin")), 0666);
    EXPECT_EQ(tree(pair.local), (std::vector<std::string>{"a.txt", "big.bin", "sub", "sub/b.txt"}));
}

TEST_F(NetworkFolder, TemporaryFilesLeftByAKilledProcessAreRemovedAtTheNextRun) {
    JobDir pair = synced("net");
    // A process that was killed while downloading: it made its temporary
    // files as every download does, and is gone.
    int names[2];
    ASSERT_EQ(::pipe(names), 0);
    const std::string top = pair.localPath("a.txt");
    const std::string below = pair.localPath("sub/b.txt");
    const pid_t killed = ::fork();
    ASSERT_GE(killed, 0);
    if (killed == 0) {
        for (const std::string* target : {&top, &below}) {
            const std::string name = Nuvaro::NuvaroConnector::temporaryNameFor(*target);
            const int file = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
            if (file < 0 || ::write(file, "partial", 7) != 7 || ::write(names[1], name.c_str(), name.size() + 1) < 0)
                ::_exit(1);
            ::close(file);
        }
        ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(killed, &status, 0), killed);
    ASSERT_EQ(status, 0);
    ::close(names[1]);
    char buffer[2048] = {};
    ASSERT_GT(::read(names[0], buffer, sizeof(buffer) - 1), 0);
    ::close(names[0]);
    const std::string leftTop = buffer;
    const std::string leftBelow = buffer + leftTop.size() + 1;
    ASSERT_TRUE(Poco::File(leftTop).exists());
    ASSERT_TRUE(Poco::File(leftBelow).exists());
    // A download of this (running) process, and names that only look alike.
    const std::string running = Nuvaro::NuvaroConnector::temporaryNameFor(top);
    pair.writeLocal(running.substr(pair.local.size() + 1), "in progress", -60);
    const std::vector<std::string> lookalikes = {"a.txt.part", "x.tmp.part",
                                                 "a.txt." + std::to_string(killed) + ".tmp.part"};
    for (const std::string& name : lookalikes)
        pair.writeLocal(name, "mine", -60);

    runJob(pair);

    EXPECT_FALSE(Poco::File(leftTop).exists());
    EXPECT_FALSE(Poco::File(leftBelow).exists());
    EXPECT_EQ(CloudSyncTest::TempFolder::read(running), "in progress");
    EXPECT_FALSE(pair.onServer(running.substr(pair.local.size() + 1)));
    for (const std::string& name : lookalikes) {
        EXPECT_EQ(pair.localContent(name), "mine") << name;
        EXPECT_EQ(pair.serverContent(name), "mine") << name;
    }
}

TEST_F(NetworkFolder, EventsTellThePhasesAndTheSummary) {
    JobDir pair = dir("net");
    pair.putServer("a.txt", "alpha", -3600);
    storeJob(pair);
    CloudSyncTest::EventRecorder events({1, 2});

    runJob(pair, true);

    typedef CloudSyncTest::EventRecorder::Event Event;
    std::vector<Event> seen = events.events();
    auto has = [&seen](const Event& event) { return std::find(seen.begin(), seen.end(), event) != seen.end(); };
    EXPECT_TRUE(has(Event{0, "Network Folder: Checking..", 100}));
    EXPECT_TRUE(has(Event{3, "Checking..", 100}));
    EXPECT_TRUE(has(Event{0, "Network Folder: Processing", 1}));
    EXPECT_TRUE(has(Event{3, "Completed", 0}));
    EXPECT_TRUE(has(Event{4, "Completed Folder: net 1 files downloaded", 0}));
    EXPECT_EQ(seen.back(), (Event{16, "", 0}));

    // A user-initiated run with nothing to do still tells the user it ended.
    CloudSyncTest::EventRecorder quiet({0, 1, 2, 3, 16});
    runJob(pair, true);
    EXPECT_EQ(quiet.events(), (std::vector<Event>{Event{4, "Completed Folder: net", 0}}));
}

// A refused login is logged with the jobs' own line and event 7, a timed-out
// device session with its line and event 8; any other failure is only a
// failed connection. The run ends before its first step either way.
TEST_F(NetworkFolder, AFailedLoginIsReportedByWhatRefusedIt) {
    struct Case {
        const char* name;
        std::function<void(TestAccount&)> account;
        std::map<std::string, std::string> settings;
        const char* line;
        int event; // 0: neither 7 nor 8
    };
    const char* refused = "Authentication Failed or Bad 2FA code or Bad Device Auth Code";
    const Case cases[] = {
        {"wrong password", [](TestAccount& a) { a.password = "changed"; }, {}, refused, 7},
        {"two-factor code asked", [](TestAccount& a) { a.twoFactorCode = "123456"; }, {}, refused, 7},
        {"device code refused", [](TestAccount& a) { a.deviceCode = "dev-ok"; },
         {{"loginmode", "1"}, {"devauthcode", "dev-wrong"}}, refused, 7},
        {"device session timed out",
         [](TestAccount& a) {
             a.deviceCode = "dev-old";
             a.deviceCodeExpired = true;
         },
         {{"loginmode", "1"}, {"devauthcode", "dev-old"}}, "Device Auth Code Session Timeout", 8},
        {"no password to send", [](TestAccount&) {}, {{"password", ""}}, "Failed Connection", 0},
    };
    JobDir pair = dir("net");
    pair.putServer("a.txt", "alpha", -3600);
    storeJob(pair);
    const std::map<std::string, std::string> original = m_settings;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestAccount changed;
        changed.userId = kUser;
        changed.password = "pass1";
        c.account(changed);
        server.addAccount(changed);
        m_settings = original;
        for (const auto& setting : c.settings)
            m_settings[setting.first] = setting.second;
        CloudSyncTest::LogCapture log({""});
        CloudSyncTest::EventRecorder events;

        runJob(pair);

        EXPECT_TRUE(log.contains(c.line)) << log.dump();
        std::vector<int> loginEvents;
        for (const auto& event : events.events())
            if (std::get<0>(event) == 7 || std::get<0>(event) == 8)
                loginEvents.push_back(std::get<0>(event));
        EXPECT_EQ(loginEvents, c.event == 0 ? std::vector<int>{} : std::vector<int>{c.event});
        EXPECT_FALSE(pair.onDisk("a.txt"));
        EXPECT_EQ(lastRun(pair), "");
    }
}

} // namespace
} // namespace OfflineTest
