// Remote-management fetch and acknowledgement, lock, unlock and quick share
// against the test server.

#include "CommandTestFixture.h"

namespace CommandTests {
namespace {

using Nuvaro::Record;
using Nuvaro::RecordList;

Record sentinel() { return Record(new std::map<std::string, std::string>{{"rid", "old"}}); }

std::string valueOf(const Record& record, const std::string& key) {
    auto it = record->find(key);
    return it == record->end() ? std::string() : it->second;
}

TEST_F(CommandTest, FetchedCommandsAreAcknowledgedByTheirRidsJoinedWithHash) {
    const std::string first = server.queueRmcCommand(CLIENT_ID, "10000", "hello");
    const std::string second = server.queueRmcCommand(CLIENT_ID, "10002");
    const std::string third = server.queueRmcCommand(CLIENT_ID, "10008");
    server.queueRmcCommand("another client", "10001");

    RecordList commands;
    ASSERT_TRUE(client->getAndAckRmcCommands(commands)) << client->getLastError();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(valueOf(commands[0], "remote_command_id"), "10000");
    EXPECT_EQ(valueOf(commands[0], "message"), "hello");
    EXPECT_EQ(onlyRequest("/core/ackrmccommands").formField("command_rids"), first + "#" + second + "#" + third);
    for (const TS::RmcCommand& command : server.rmcCommands(CLIENT_ID)) EXPECT_TRUE(command.acknowledged);

    // Nothing left: an empty list, and no acknowledgement is sent.
    server.clearRequests();
    EXPECT_TRUE(client->getAndAckRmcCommands(commands));
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(server.requests("/core/ackrmccommands").empty());
}

// A refused fetch must not read as "no commands".
TEST_F(CommandTest, FetchRefusedForAnExpiredSessionIsAFailure) {
    server.queueRmcCommand(CLIENT_ID, "10000", "hello");
    server.dropSessions(USER);
    RecordList commands{sentinel()};
    EXPECT_FALSE(client->getAndAckRmcCommands(commands));
    EXPECT_EQ(client->getLastError(), "Authentication Failed");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(valueOf(commands[0], "rid"), "old");
    EXPECT_TRUE(server.requests("/core/ackrmccommands").empty());
}

TEST_F(CommandTest, RmcFetchReplyVariants) {
    const std::string command = "<rid>7</rid><remote_command_id>10000</remote_command_id><message>m</message>";
    const ReplyBodies bodies = recordBodies("rmc_command", command);
    const std::vector<RecordsRow> rows = {
        {Variant::Success, true, 1, ""},
        {Variant::Refusal, false, 1, "Permission denied"},
        {Variant::ZeroRecords, true, 0, ""},
        {Variant::TwoRecords, true, 2, ""},
        {Variant::NotXml, false, 1, "*"},
        {Variant::ErrorStatus, false, 1, "HTTP 500*"},
        {Variant::Dropped, false, 1, "*"},
    };
    for (const RecordsRow& row : rows) {
        SCOPED_TRACE(variantName(row.variant));
        inject(faultFor(row.variant, "/core/getrmccommands", bodies));
        RecordList commands{sentinel()};
        EXPECT_EQ(client->getRmcCommands(commands), row.ok);
        EXPECT_EQ(commands.size(), row.count);
        if (!row.ok) {
            EXPECT_EQ(valueOf(commands[0], "rid"), "old");
        }
        expectText(client->getLastError(), row.error);
    }
}

// The list handed back still holds the fetched commands when the
// acknowledgement fails; the reason is kept in every case.
TEST_F(CommandTest, RmcAcknowledgementReplyVariants) {
    for (const OutcomeRow& row : commandRowsWithReasons()) {
        SCOPED_TRACE(variantName(row.variant));
        const std::string rid = server.queueRmcCommand(CLIENT_ID, "10000", "hi");
        inject(faultFor(row.variant, "/core/ackrmccommands", COMMAND_BODIES));
        RecordList commands;
        EXPECT_EQ(client->getAndAckRmcCommands(commands), row.ok);
        ASSERT_EQ(commands.size(), 1u);
        EXPECT_EQ(valueOf(commands[0], "rid"), rid);
        expectText(client->getLastError(), row.lastError);
        // Faults answer instead of the server, so acknowledge for the next row.
        EXPECT_TRUE(client->ackRmcCommands(commands));
    }
}

TEST_F(CommandTest, LockAndUnlockAFile) {
    for (int readLock : {0, 1}) {
        SCOPED_TRACE(readLock);
        CloudSyncTest::LogCapture log;
        ASSERT_TRUE(client->lockFile("/user1/docs/a.txt", readLock)) << client->getLastError();
        EXPECT_TRUE(log.contains("/user1/docs/a.txt : lock successful!"));
        EXPECT_TRUE(log.contains("lockFile : DATA = <?xml")) << log.dump();
        auto lock = server.lockOf(USER, "/user1/docs/a.txt");
        ASSERT_TRUE(lock.has_value());
        EXPECT_EQ(lock->readLock, readLock == 1);

        ASSERT_TRUE(client->unlockFile("/user1/docs/a.txt")) << client->getLastError();
        EXPECT_TRUE(log.contains("Unlock successful!"));
        EXPECT_FALSE(server.lockOf(USER, "/user1/docs/a.txt").has_value());
    }
}

// The caller reports a refused lock: nothing at error level, the message kept.
TEST_F(CommandTest, LockOfAMissingFileIsRefusedQuietly) {
    CloudSyncTest::LogCapture log;
    EXPECT_FALSE(client->lockFile("/user1/docs/missing.txt", 0));
    EXPECT_FALSE(loggedAtError(log)) << log.dump();
    EXPECT_EQ(client->getLastError(), "File or folder not found");
}

TEST_F(CommandTest, LockReplyVariants) {
    // Zero or several records and failed exchanges leave the last error alone.
    const std::vector<OutcomeRow> rows = {
        {Variant::Success, true, ""},         {Variant::Refusal, false, "Permission denied"},
        {Variant::ZeroRecords, false, ""},    {Variant::TwoRecords, false, ""},
        {Variant::NotXml, false, ""},         {Variant::ErrorStatus, true, ""},
        {Variant::Dropped, false, ""},
    };
    for (const std::string path : {"/core/lock", "/core/unlock"}) {
        for (const OutcomeRow& row : rows) {
            SCOPED_TRACE(path + ": " + variantName(row.variant));
            inject(faultFor(row.variant, path, COMMAND_BODIES));
            const bool ok = path == "/core/lock" ? client->lockFile("/user1/docs/a.txt", 0)
                                                 : client->unlockFile("/user1/docs/a.txt");
            EXPECT_EQ(ok, row.ok);
            expectText(client->getLastError(), row.lastError);
        }
    }
}

TEST_F(CommandTest, QuickShareReturnsTheShareWithItsUrl) {
    RecordList shares;
    ASSERT_TRUE(client->quickShare("/user1/docs/a.txt", shares));
    ASSERT_EQ(shares.size(), 1u);
    ASSERT_EQ(server.shares().size(), 1u);
    EXPECT_EQ(valueOf(shares[0], "shareurl"), server.shares()[0].url);
    EXPECT_EQ(valueOf(shares[0], "sharelocation"), "/user1/docs/a.txt");
}

// Any parsed reply is an answer (a refusal gives no share records); only a
// failed exchange is false, and the list is then left as it was.
TEST_F(CommandTest, QuickShareReplyVariants) {
    const std::string share = "<shareid>s1</shareid><shareurl>http://x/s1</shareurl>";
    const ReplyBodies bodies = recordBodies("share", share);
    // The last error is never touched.
    const std::vector<RecordsRow> rows = {
        {Variant::Success, true, 1, ""},     {Variant::Refusal, true, 0, ""},
        {Variant::ZeroRecords, true, 0, ""}, {Variant::TwoRecords, true, 2, ""},
        {Variant::NotXml, false, 1, ""},     {Variant::ErrorStatus, true, 1, ""},
        {Variant::Dropped, false, 1, ""},
    };
    for (const RecordsRow& row : rows) {
        SCOPED_TRACE(variantName(row.variant));
        inject(faultFor(row.variant, "/app/bramblelink/quickshare", bodies));
        RecordList shares{sentinel()};
        EXPECT_EQ(client->quickShare("/user1/docs/a.txt", shares), row.ok);
        EXPECT_EQ(shares.size(), row.count);
        EXPECT_EQ(client->getLastError(), row.error);
    }
}

} // namespace
} // namespace CommandTests
