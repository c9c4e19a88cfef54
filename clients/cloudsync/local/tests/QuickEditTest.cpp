// Quick edit end to end: a file opened for editing through the endpoint is
// downloaded into a quick-edit folder with its record; the web-edit worker's
// sweeps upload edits, age out unchanged copies after 25 minutes (records
// dated back, the real limit), keep every copy whose edit is not on the
// server yet, and run when the monitor wakes the worker or at idle
// intervals. Real folders, real inotify, the test server.

#include "LocalFixture.h"

#include "FSUtil.h"
#include "FSWebEditWorker.h"
#include "NuvaroUtil.h"
#include "QuickEdit.h"
#include "VariantRow.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/UUIDGenerator.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace LocalTest {
namespace {

using Nuvaro::Sync::CopyState;
using Nuvaro::Sync::DelInfo;
using Nuvaro::Sync::FSWebEditWorker;
using Nuvaro::Sync::greedyRecursiveWipe;
using Nuvaro::Sync::TestServer::TestFault;

const Poco::Int64 kMinute = 60LL * 10000000;  // in UTC time units (100 ns)

std::string checksumOf(const std::string& path) {
    std::string crc;
    EXPECT_TRUE(Nuvaro::Util::getFileCRC(path, crc, -1, -1)) << path;
    return crc;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool exists(const std::string& path) {
    return Poco::File(path).exists();
}

std::vector<std::string> childrenOf(const std::string& folder) {
    std::vector<std::string> names;
    if (exists(folder))
        Poco::File(folder).list(names);
    std::sort(names.begin(), names.end());
    return names;
}

class QuickEditTest : public LocalServiceTest {
protected:
    void TearDown() override {
        m_worker.reset();
        LocalServiceTest::TearDown();
    }

    // A quick-edit folder as a download leaves it: the server file, its copy
    // and the record, whose time is dated back by `minutesAgo`. Returns the
    // folder.
    std::string addCopy(const std::string& serverPath, const std::string& content, long minutesAgo = 0) {
        server.putFile(kUser, serverPath, content);
        std::string name, serverFolder;
        EXPECT_TRUE(Nuvaro::Sync::splitQuickEditPath(serverPath, name, serverFolder));
        std::string folder = editRoot() + "/" + Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
        Poco::File(folder).createDirectories();
        writeFile(folder + "/" + name, content);
        CopyState state;
        EXPECT_TRUE(Nuvaro::Sync::readCopyState(folder + "/" + name, state));
        state.modified -= static_cast<Poco::UInt64>(minutesAgo * kMinute);
        Nuvaro::Data::VariantRow record;
        record["path"] = serverFolder;
        record["name"] = name;
        Nuvaro::Sync::putCopyState(record, state);
        EXPECT_TRUE(record.write(folder + "/editinfo.xml"));
        return folder;
    }

    static Nuvaro::Data::VariantRow recordOf(const std::string& folder) {
        Nuvaro::Data::VariantRow record;
        EXPECT_TRUE(record.read(folder + "/editinfo.xml")) << folder;
        return record;
    }

    // The runner with the account (or another password) and a worker that
    // does not run: the test sweeps itself.
    FSWebEditWorker& makeWorker(const std::string& password = kPassword) {
        TestRunner& runner = makeLocalRunner();
        storeAccountOnly(runner, password);
        m_worker.reset(new FSWebEditWorker("", editRoot(), &runner));
        return *m_worker;
    }

    std::string serverContent(const std::string& path) {
        return server.fileContent(kUser, path).value_or("<missing>");
    }

    std::unique_ptr<FSWebEditWorker> m_worker;
};

// ---- Opening a file for editing ----

TEST_F(QuickEditTest, FileOpenedForEditingIsDownloadedWithItsRecordAndOpened) {
    startService();
    server.putFile(kUser, "/user1/docs/<b&c> d.txt", "hello");
    OpenedTargets opened;
    EventRecorder events;
    Reply reply = send("/webedit?path=" + encoded("/user1/docs/<b&c> d.txt") + "&html=1");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "text/html");
    EXPECT_NE(reply.body.find("<body onload=\"javascript:window.close();\">"), std::string::npos);
    EXPECT_NE(reply.body.find("Load OK"), std::string::npos);

    std::vector<std::string> folders = childrenOf(editRoot());
    ASSERT_EQ(folders.size(), 1u);
    Poco::UUID uuid;
    EXPECT_TRUE(uuid.tryParse(folders[0])) << folders[0];
    std::string folder = editRoot() + "/" + folders[0];
    std::string copy = folder + "/<b&c> d.txt";
    EXPECT_EQ(childrenOf(folder), (std::vector<std::string>{"<b&c> d.txt", "editinfo.xml"}));
    EXPECT_EQ(CloudSyncTest::TempFolder::read(copy), "hello");
    Nuvaro::Data::VariantRow record = recordOf(folder);
    CopyState state;
    ASSERT_TRUE(Nuvaro::Sync::readCopyState(copy, state));
    EXPECT_EQ(record.getField("path").getString(), "/user1/docs");
    EXPECT_EQ(record.getField("name").getString(), "<b&c> d.txt");
    EXPECT_EQ(record.getField("size").getUInt64(), 5u);
    EXPECT_EQ(record.getField("modified").getUInt64(), state.modified);
    EXPECT_EQ(record.getField("checksum").getString(), checksumOf(copy));
    EXPECT_EQ(opened.targets(), std::vector<std::string>{copy});
    EXPECT_EQ(events.events(),
              (std::vector<EventRecorder::Event>{EventRecorder::Event{4, "<b&c> d.txt downloaded from cloud for editing", 0}}));
    EXPECT_EQ(server.requests("/core/loginguest")[0].header("User-Agent").find("Quick Edit"), 0u);
}

mode_t modeOf(const std::string& path) {
    struct stat info;
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Sets the process's umask for a while.
class Umask {
public:
    explicit Umask(mode_t mask) : m_was(::umask(mask)) {}
    ~Umask() { ::umask(m_was); }

private:
    mode_t m_was;
};

TEST_F(QuickEditTest, QuickEditFoldersAndCopiesAreForThisUserOnlyWhateverTheUmask) {
    startService();
    server.putFile(kUser, "/user1/a.txt", "alpha");
    OpenedTargets opened;
    struct Case {
        const char* name;
        mode_t umask;
        mode_t existingRoot;  // 0: no root yet
    };
    const Case cases[] = {
        {"open umask, new root", 0000, 0},
        {"usual umask, new root", 0022, 0},
        {"strict umask, new root", 0277, 0},
        {"open root left by before", 0022, 0777},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        greedyRecursiveWipe(editRoot());
        if (c.existingRoot) {
            Poco::File(editRoot()).createDirectories();
            ::chmod(editRoot().c_str(), c.existingRoot);
        }
        Reply reply;
        {
            Umask mask(c.umask);
            reply = send("/webedit?path=%2Fuser1%2Fa.txt");
        }
        ASSERT_NE(reply.body.find("Load OK"), std::string::npos) << reply.body << m_log.dump();
        std::vector<std::string> folders = childrenOf(editRoot());
        ASSERT_EQ(folders.size(), 1u);
        const std::string folder = editRoot() + "/" + folders[0];
        EXPECT_EQ(modeOf(editRoot()), 0700u);
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_EQ(modeOf(folder + "/a.txt"), 0600u);
        EXPECT_EQ(modeOf(folder + "/editinfo.xml"), 0600u);
        EXPECT_EQ(CloudSyncTest::TempFolder::read(folder + "/a.txt"), "alpha");
    }
}

TEST_F(QuickEditTest, RootThatIsALinkIsNotUsed) {
    startService();
    server.putFile(kUser, "/user1/a.txt", "alpha");
    const std::string elsewhere = m_tmp / "elsewhere";
    Poco::File(elsewhere).createDirectories();
    Poco::File(Poco::Path(editRoot()).parent()).createDirectories();
    ASSERT_EQ(::symlink(elsewhere.c_str(), editRoot().c_str()), 0);
    OpenedTargets opened;
    Reply reply = send("/webedit?path=%2Fuser1%2Fa.txt");
    EXPECT_NE(reply.body.find("Load FAILED"), std::string::npos) << reply.body;
    EXPECT_TRUE(childrenOf(elsewhere).empty());
    EXPECT_TRUE(opened.targets().empty());
}

TEST_F(QuickEditTest, WorkerMakesTheRootForThisUserOnly) {
    Umask mask(0000);
    FSWebEditWorker& worker = makeWorker();
    worker.startup();
    EXPECT_EQ(modeOf(editRoot()), 0700u);
    worker.shutdown();
}

TEST_F(QuickEditTest, MissingParentsOfTheRootAreForThisUserOnlyWhateverTheUmask) {
    // The root lies two missing folders below one that exists, whose mode
    // stays as it is.
    const std::string existing = m_tmp / "existing";
    Poco::File(existing).createDirectories();
    ASSERT_EQ(::chmod(existing.c_str(), 0751), 0);
    const std::string root = existing + "/new/er/webedit";
    for (mode_t umask : {0000, 0022, 0277}) {
        char trace[16];
        std::snprintf(trace, sizeof trace, "umask %04o", static_cast<unsigned>(umask));
        SCOPED_TRACE(trace);
        greedyRecursiveWipe(existing + "/new");
        {
            Umask mask(umask);
            ASSERT_TRUE(Nuvaro::Sync::prepareQuickEditRoot(root)) << m_log.dump();
        }
        EXPECT_EQ(modeOf(existing + "/new"), 0700u);
        EXPECT_EQ(modeOf(existing + "/new/er"), 0700u);
        EXPECT_EQ(modeOf(root), 0700u);
        EXPECT_EQ(modeOf(existing), 0751u);
    }
}

TEST_F(QuickEditTest, QuickEditThatCannotLoadLeavesNothingBehind) {
    startService();
    server.putFile(kUser, "/user1/editinfo.xml", "x");
    struct Case {
        const char* path;
        int status;
        bool contacted;
    };
    const Case cases[] = {
        {"", 200, false},                     // Load FAILED
        {"/user1/docs/gone.txt", 200, true},  // Load FAILED
        {"/user1/../user2/a.txt", 403, false},
        {"user1/a.txt", 403, false},
        {"/user1/docs/", 403, false},
        {"/", 403, false},
        {"/user1/editinfo.xml", 403, false},
    };
    for (const Case& c : cases) {
        server.clearRequests();
        OpenedTargets opened;
        Reply reply = send("/webedit?path=" + encoded(c.path));
        EXPECT_EQ(reply.status, c.status) << c.path;
        if (c.status == 200)
            EXPECT_NE(reply.body.find("<body>\t\t   <h2 class=\"btn\">Quick Editing</h2>"), std::string::npos);
        else
            EXPECT_EQ(reply.body, "404 Sorry, Forbidden");
        EXPECT_EQ(!server.requests("/core/loginguest").empty(), c.contacted) << c.path;
        EXPECT_TRUE(childrenOf(editRoot()).empty()) << c.path;
        EXPECT_TRUE(opened.targets().empty());
    }
}

TEST_F(QuickEditTest, RefusedLoginShowsTheFailurePage) {
    TestRunner& runner = makeLocalRunner();
    storeAccountOnly(runner, "wrong password");
    startEndpoint(runner);
    server.putFile(kUser, "/user1/a.txt", "a");
    EventRecorder events;
    Reply reply = send("/webedit?path=" + encoded("/user1/a.txt"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("Load FAILED"), std::string::npos);
    EXPECT_TRUE(m_log.contains("Authentication Failed or bad 2FA code or Bad Dev Auth Code")) << m_log.dump();
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{7, "", 0}}));
    EXPECT_TRUE(childrenOf(editRoot()).empty());
}

// ---- Sweeps ----

TEST_F(QuickEditTest, EditIsUploadedAtTheNextSweepAndTheRecordFollows) {
    FSWebEditWorker& worker = makeWorker();
    std::string folder = addCopy("/user1/docs/a.txt", "old");
    writeFile(folder + "/a.txt", "new content");
    EventRecorder events;
    worker.doProcessChange();
    EXPECT_EQ(serverContent("/user1/docs/a.txt"), "new content");
    Nuvaro::Data::VariantRow record = recordOf(folder);
    EXPECT_EQ(record.getField("checksum").getString(), checksumOf(folder + "/a.txt"));
    EXPECT_EQ(record.getField("size").getUInt64(), 11u);
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{4, "a.txt saved to cloud", 0}}));
    EXPECT_TRUE(m_log.contains("Uploaded File OK: /user1/docs from " + folder + "/a.txt")) << m_log.dump();
    // Unchanged since: nothing more is sent.
    worker.doProcessChange();
    EXPECT_EQ(server.requests("/upload").size(), 1u);
    EXPECT_TRUE(exists(folder + "/a.txt"));
}

TEST_F(QuickEditTest, UnchangedCopyIsRemovedWhenItsRecordIsMoreThan25MinutesOld) {
    FSWebEditWorker& worker = makeWorker();
    struct Case {
        long minutesAgo;
        bool removed;
    };
    const Case cases[] = {{0, false}, {24, false}, {25, false}, {26, true}, {600, true}};
    for (const Case& c : cases) {
        std::string folder = addCopy("/user1/a.txt", "same", c.minutesAgo);
        worker.doProcessChange();
        EXPECT_EQ(!exists(folder), c.removed) << c.minutesAgo;
        if (exists(folder))
            greedyRecursiveWipe(folder);
    }
    EXPECT_TRUE(m_log.contains("Adding to Delete List for : ")) << m_log.dump();
    EXPECT_TRUE(m_log.contains("[*****] Removed Quick Edit File : "));
    EXPECT_TRUE(m_log.contains("[*****] Removed Quick Edit Folder : "));
    EXPECT_TRUE(m_log.contains("No Checksum Change Detected, Skipping : "));
    EXPECT_TRUE(server.requests("/upload").empty());
}

// An edit recorded long ago is uploaded, not aged out; its record then
// counts from the upload.
TEST_F(QuickEditTest, EditedCopyWithAnOldRecordIsUploadedNotRemoved) {
    FSWebEditWorker& worker = makeWorker();
    std::string folder = addCopy("/user1/a.txt", "old", 600);
    writeFile(folder + "/a.txt", "edited");
    worker.doProcessChange();
    worker.doProcessChange();
    EXPECT_TRUE(exists(folder + "/a.txt"));
    EXPECT_EQ(serverContent("/user1/a.txt"), "edited");
}

struct FolderCase {
    const char* name;
    std::function<void(const std::string& folder)> damage;
    bool removed;
    const char* logLine;  // "{child}" stands for the folder's name, "{copy}" for the copy's path
};

TEST_F(QuickEditTest, FoldersWithIncompleteRecordsOrMissingCopies) {
    FSWebEditWorker& worker = makeWorker();
    auto dropField = [](const char* field) {
        return [field](const std::string& folder) {
            Nuvaro::Data::VariantRow record = recordOf(folder);
            record.removeField(field);
            EXPECT_TRUE(record.write(folder + "/editinfo.xml"));
        };
    };
    auto setName = [](const char* name) {
        return [name](const std::string& folder) {
            Nuvaro::Data::VariantRow record = recordOf(folder);
            record["name"] = name;
            EXPECT_TRUE(record.write(folder + "/editinfo.xml"));
        };
    };
    const FolderCase cases[] = {
        {"no checksum", dropField("checksum"), true, nullptr},
        {"no path", dropField("path"), true, nullptr},
        {"no size", dropField("size"), true, nullptr},
        {"no modified", dropField("modified"), true, nullptr},
        {"no name", dropField("name"), false, "Missing name in editinfo : {child}"},
        {"a name leading out", setName("../a.txt"), false, "Missing name in editinfo : {child}"},
        {"the record's own name", setName("editinfo.xml"), false, "Missing name in editinfo : {child}"},
        {"a record that is no XML", [](const std::string& f) { writeFile(f + "/editinfo.xml", "<config"); }, false,
         "Error reading edit info in path : {child}"},
        {"no record", [](const std::string& f) { Poco::File(f + "/editinfo.xml").remove(); }, false,
         "Error reading edit info in path : {child}"},
        {"the copy deleted", [](const std::string& f) { Poco::File(f + "/a.txt").remove(); }, true,
         "File Doesn't Exist Exception  : {copy}"},
        {"the copy unreadable", [](const std::string& f) {
             Poco::File(f + "/a.txt").remove();
             Poco::File(f + "/a.txt").createDirectory();
         }, false, "Cannot read the quick edit file, trying again at the next check : {copy}"},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.channel().clear();
        std::string folder = addCopy("/user1/a.txt", "a", 600);
        c.damage(folder);
        worker.doProcessChange();
        EXPECT_EQ(!exists(folder), c.removed);
        if (c.logLine) {
            std::string line = c.logLine;
            std::string child = Poco::Path(folder).getFileName();
            std::string::size_type at;
            if ((at = line.find("{child}")) != std::string::npos)
                line.replace(at, 7, child);
            if ((at = line.find("{copy}")) != std::string::npos)
                line.replace(at, 6, folder + "/a.txt");
            EXPECT_TRUE(m_log.contains(line)) << m_log.dump();
        }
        if (exists(folder))
            greedyRecursiveWipe(folder);
    }
}

struct UploadFailure {
    const char* name;
    TestFault fault;
    bool storedAnyway;  // the server kept the bytes, its answer was lost
};

TEST_F(QuickEditTest, FailedUploadKeepsTheCopyAndIsRetriedAtTheNextSweep) {
    FSWebEditWorker& worker = makeWorker();
    const UploadFailure failures[] = {
        {"refused by the server", TestFault::withBody("/upload", "Failed: quota exceeded"), false},
        {"answer lost", TestFault::dropAfter("/upload", 0), true},
        {"server error", TestFault::withStatus("/upload", 500, "boom"), false},
    };
    for (const UploadFailure& failure : failures) {
        SCOPED_TRACE(failure.name);
        std::string folder = addCopy("/user1/a.txt", "old", 600);
        std::string recorded = recordOf(folder).getField("checksum").getString();
        writeFile(folder + "/a.txt", std::string("edit ") + failure.name);
        TestFault once = failure.fault;
        once.times = 1;
        server.addFault(once);
        EventRecorder events;
        worker.doProcessChange();
        EXPECT_TRUE(exists(folder + "/a.txt"));
        EXPECT_EQ(recordOf(folder).getField("checksum").getString(), recorded);
        EXPECT_EQ(serverContent("/user1/a.txt"), failure.storedAnyway ? std::string("edit ") + failure.name : "old");
        EXPECT_EQ(events.events(),
                  (std::vector<EventRecorder::Event>{EventRecorder::Event{4, "a.txt error saving to cloud", 0}}));
        server.clearRequests();
        worker.doProcessChange();
        EXPECT_EQ(server.requests("/upload").size(), 1u);
        EXPECT_EQ(serverContent("/user1/a.txt"), std::string("edit ") + failure.name);
        EXPECT_EQ(recordOf(folder).getField("checksum").getString(), checksumOf(folder + "/a.txt"));
        EXPECT_TRUE(exists(folder + "/a.txt"));
        greedyRecursiveWipe(folder);
    }
}

// An exception while an edited copy is being sent (here: no runner to take
// the account from) must not remove the copy: it may hold the user's only
// edit. The copy stays and is sent by a later sweep.
TEST_F(QuickEditTest, ExceptionWhileUploadingKeepsTheEditedCopy) {
    makeWorker();
    std::string folder = addCopy("/user1/a.txt", "old", 600);
    writeFile(folder + "/a.txt", "edited");
    {
        FSWebEditWorker orphan("", editRoot(), nullptr);
        orphan.doProcessChange();
        orphan.doProcessChange();
    }
    EXPECT_TRUE(exists(folder + "/a.txt"));
    EXPECT_TRUE(m_log.contains("Unexpected Exception  : " + folder + "/a.txt")) << m_log.dump();
    m_worker->doProcessChange();
    EXPECT_EQ(serverContent("/user1/a.txt"), "edited");
}

TEST_F(QuickEditTest, RefusedLoginNeverRemovesAnEditedCopy) {
    FSWebEditWorker& worker = makeWorker("wrong password");
    std::string folder = addCopy("/user1/a.txt", "old", 600);
    writeFile(folder + "/a.txt", "edited");
    EventRecorder events;
    worker.doProcessChange();
    worker.doProcessChange();
    EXPECT_TRUE(exists(folder + "/a.txt"));
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{7, "", 0},
                                                                  EventRecorder::Event{7, "", 0}}));
    EXPECT_TRUE(m_log.contains("Authentication Failed or bad 2FA code or Dev Code Invalid")) << m_log.dump();
}

TEST_F(QuickEditTest, UnreachableServerKeepsTheEditedCopy) {
    FSWebEditWorker& worker = makeWorker();
    std::string folder = addCopy("/user1/a.txt", "old", 600);
    writeFile(folder + "/a.txt", "edited");
    server.stop();
    EventRecorder events;
    worker.doProcessChange();
    EXPECT_TRUE(exists(folder + "/a.txt"));
    EXPECT_EQ(events.events(),
              (std::vector<EventRecorder::Event>{EventRecorder::Event{4, "Failed Login to save edited file", 0}}));
    EXPECT_TRUE(m_log.contains("Failed Login to save file back : /user1 from " + folder + "/a.txt")) << m_log.dump();
}

// Saved by the user after the sweep found it old and unchanged, before the
// removal: the copy now holds an edit and stays, for the next sweep to send.
TEST_F(QuickEditTest, CopySavedDuringTheSweepIsNotRemoved) {
    FSWebEditWorker& worker = makeWorker();
    std::string folder = addCopy("/user1/a.txt", "old", 600);
    std::vector<DelInfo> removals;
    worker.collectChanges(removals);
    ASSERT_EQ(removals.size(), 1u);
    writeFile(folder + "/a.txt", "saved just now");
    worker.removeFolders(removals);
    EXPECT_TRUE(exists(folder + "/a.txt"));
    worker.doProcessChange();
    EXPECT_EQ(serverContent("/user1/a.txt"), "saved just now");
}

TEST_F(QuickEditTest, OnlyRealFoldersBelowTheRootAreExamined) {
    FSWebEditWorker& worker = makeWorker();
    std::string outside = addCopy("/user1/a.txt", "a", 600);
    std::string elsewhere = m_tmp / "elsewhere";
    Poco::File(outside).renameTo(elsewhere);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (editRoot() + "/link").c_str()), 0);
    writeFile(editRoot() + "/note.txt", "n");
    worker.doProcessChange();
    EXPECT_TRUE(exists(elsewhere + "/a.txt"));
    EXPECT_TRUE(exists(elsewhere + "/editinfo.xml"));
    EXPECT_EQ(childrenOf(editRoot()), (std::vector<std::string>{"link", "note.txt"}));
}

TEST_F(QuickEditTest, SweepAfterShutdownRemovesNothing) {
    FSWebEditWorker& worker = makeWorker();
    std::string folder = addCopy("/user1/a.txt", "a", 600);
    worker.shutdown();
    worker.doProcessChange();
    EXPECT_TRUE(exists(folder + "/a.txt"));
}

TEST_F(QuickEditTest, MissingRootIsLoggedAndSweepsNothing) {
    FSWebEditWorker& worker = makeWorker();
    worker.doProcessChange();
    EXPECT_TRUE(m_log.contains("Error listing children for Path : " + editRoot())) << m_log.dump();
}

// ---- The running worker ----

FSWebEditWorker::Intervals fast() {
    FSWebEditWorker::Intervals intervals;
    intervals.queueWaitMs = 50;
    intervals.idleWaits = 1000000;
    intervals.changePauseMs = 20;
    intervals.monitor.settleMs = 50;
    return intervals;
}

TEST_F(QuickEditTest, MonitorWakesTheWorkerWhichUploadsTheEdit) {
    TestRunner& runner = makeLocalRunner();
    storeAccountOnly(runner);
    // The root does not exist yet: startup makes it, so that it is watched.
    m_worker.reset(new FSWebEditWorker("", editRoot(), &runner, fast()));
    m_worker->startup();
    EXPECT_TRUE(exists(editRoot()));
    EXPECT_TRUE(waitUntil([&] { return m_worker->isIdle(); }));
    // A download made while the worker runs, then an edit of it.
    std::string folder = addCopy("/user1/docs/a.txt", "old");
    Poco::Thread::sleep(200);
    writeFile(folder + "/a.txt", "edited while running");
    EXPECT_TRUE(waitUntil([&] { return serverContent("/user1/docs/a.txt") == "edited while running"; }))
        << m_log.dump();
    EXPECT_TRUE(m_log.contains("********* Checking WebEDIT Folders *********"));
    EXPECT_TRUE(m_worker->shutdown());
}

TEST_F(QuickEditTest, IdleSweepRemovesStaleCopiesWithoutAChange) {
    TestRunner& runner = makeLocalRunner();
    storeAccountOnly(runner);
    std::string folder = addCopy("/user1/a.txt", "a", 600);
    FSWebEditWorker::Intervals intervals = fast();
    intervals.queueWaitMs = 10;
    intervals.idleWaits = 3;
    m_worker.reset(new FSWebEditWorker("", editRoot(), &runner, intervals));
    m_worker->startup();
    EXPECT_TRUE(waitUntil([&] { return !exists(folder); })) << m_log.dump();
    EXPECT_FALSE(m_log.contains("********* Checking WebEDIT Folders *********"));
}

TEST_F(QuickEditTest, ShutdownIsPromptWithTheRealWaits) {
    TestRunner& runner = makeLocalRunner();
    storeAccountOnly(runner);
    m_worker.reset(new FSWebEditWorker("", editRoot(), &runner));
    m_worker->startup();
    EXPECT_TRUE(waitUntil([&] { return m_worker->isIdle(); }));
    Poco::Timestamp began;
    EXPECT_TRUE(m_worker->shutdown());
    EXPECT_LT(began.elapsed(), 2 * Poco::Timestamp::resolution());
    EXPECT_FALSE(m_worker->isIdle());
    EXPECT_TRUE(m_log.contains("FSWebEditWorker Thread exited"));
    EXPECT_TRUE(m_log.contains("FSMonitorWebEdit Thread exited"));
    EXPECT_TRUE(m_worker->shutdown());
}

} // namespace
} // namespace LocalTest
