// The lock of the data folder within one process (the program tests run two
// processes): one holder at a time, named by its process id; the lock file
// private whatever the umask; a link or a pipe in its place refused, never
// followed or waited on.

#include "DataFolderLock.h"

#include "FileModes.h"
#include "TempFolder.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Nuvaro::Sync::DataFolderLock;

TEST(DataFolderLock, OneHolderAtATimeNamedByItsProcessId) {
    CloudSyncTest::TempFolder tmp;
    CloudSyncTest::UmaskScope open(0);
    std::unique_ptr<DataFolderLock> first(new DataFolderLock(tmp.path()));
    ASSERT_EQ(first->acquire(), DataFolderLock::Result::Acquired) << first->error();
    EXPECT_EQ(CloudSyncTest::modeOf(tmp / "syncclient.lock"), 0600);

    DataFolderLock second(tmp.path());
    EXPECT_EQ(second.acquire(), DataFolderLock::Result::Held);
    EXPECT_EQ(second.holder(), ::getpid());

    first.reset();
    DataFolderLock third(tmp.path());
    EXPECT_EQ(third.acquire(), DataFolderLock::Result::Acquired) << third.error();
}

TEST(DataFolderLock, ALinkOrAPipeInPlaceOfTheLockFileIsRefused) {
    CloudSyncTest::TempFolder tmp;
    const std::string target = tmp.write("elsewhere/file", "keep");
    ::chmod(target.c_str(), 0644);
    Poco::File(tmp / "linked").createDirectories();
    ASSERT_EQ(::symlink(target.c_str(), (tmp / "linked/syncclient.lock").c_str()), 0);
    Poco::File(tmp / "piped").createDirectories();
    ASSERT_EQ(::mkfifo((tmp / "piped/syncclient.lock").c_str(), 0600), 0);

    for (const char* folder : {"linked", "piped"}) {
        DataFolderLock lock(tmp / folder);
        EXPECT_EQ(lock.acquire(), DataFolderLock::Result::Failed) << folder;
        EXPECT_EQ(lock.error().find(tmp / folder + "/syncclient.lock: "), 0u) << lock.error();
    }
    EXPECT_EQ(CloudSyncTest::TempFolder::read(target), "keep");
    EXPECT_EQ(CloudSyncTest::modeOf(target), 0644);
}

} // namespace
