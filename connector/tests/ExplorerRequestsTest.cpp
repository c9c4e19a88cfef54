// The remote file operations against the test server: their effect on the
// server's storage, and how each reply variant ends (result, last error, log).

#include "CommandTestFixture.h"

#include <functional>

namespace CommandTests {
namespace {

using Nuvaro::NuvaroConnector;

TEST_F(CommandTest, FileOperationsChangeTheServerStorage) {
    EXPECT_TRUE(client->createRemoteFolder("New folder", "/user1/docs"));
    EXPECT_TRUE(server.item(USER, "/user1/docs/New folder").has_value());

    EXPECT_TRUE(client->copyRemoteFile("/user1/docs", "a.txt", "/user1/docs/New folder"));
    EXPECT_EQ(server.fileContent(USER, "/user1/docs/New folder/a.txt"), std::optional<std::string>("alpha"));

    EXPECT_TRUE(client->renameRemoteFile("/user1/docs/New folder", "a.txt", "b&c.txt"));
    EXPECT_TRUE(server.item(USER, "/user1/docs/New folder/b&c.txt").has_value());

    EXPECT_TRUE(client->renameOrMoveRemoteFile("/user1/docs/New folder/b&c.txt", "/user1/docs/a.txt", true));
    EXPECT_FALSE(server.item(USER, "/user1/docs/New folder/b&c.txt").has_value());

    EXPECT_TRUE(client->deleteRemoteFile("/user1/docs", "New folder"));
    EXPECT_FALSE(server.item(USER, "/user1/docs/New folder").has_value());
    EXPECT_EQ(client->getLastError(), "");
}

// Absent and "could not ask" must be told apart: the jobs create or rename
// remote folders when the answer is "absent".
TEST_F(CommandTest, FileExistsTellsAbsentFromCouldNotAsk) {
    EXPECT_TRUE(client->remoteFileExists("/user1/docs/a.txt"));
    EXPECT_EQ(client->getLastError(), "");

    EXPECT_FALSE(client->remoteFileExists("/user1/docs/missing.txt"));
    EXPECT_EQ(client->getLastError(), "") << "absent leaves no error";

    server.dropSessions(USER);
    EXPECT_FALSE(client->remoteFileExists("/user1/docs/a.txt"));
    EXPECT_EQ(client->getLastError(), "Authentication Failed");
}

TEST_F(CommandTest, FileExistsReplyVariants) {
    const ReplyBodies bodies{commandBody("1", "1"), commandBody("0", "Permission denied"), twoCommandsBody()};
    for (const OutcomeRow& row : commandRowsWithReasons()) {
        SCOPED_TRACE(variantName(row.variant));
        inject(faultFor(row.variant, "/app/explorer/fileexists", bodies));
        EXPECT_EQ(client->remoteFileExists("/user1/docs/a.txt"), row.ok);
        expectText(client->getLastError(), row.lastError);
    }
    // The answer is in "message": result "1" with message "0" is absent, a
    // message "1" means present whatever the result.
    const std::vector<std::tuple<std::string, std::string, bool, std::string>> answers = {
        {"1", "0", false, ""}, {"0", "1", true, ""}, {"0", "", false, "*"}};
    for (const auto& [result, message, exists, lastError] : answers) {
        SCOPED_TRACE("result " + result + " message " + message);
        inject(TS::TestFault::withBody("/app/explorer/fileexists", commandBody(result, message)));
        EXPECT_EQ(client->remoteFileExists("/user1/docs/a.txt"), exists);
        expectText(client->getLastError(), lastError);
    }
}

struct ExplorerOp {
    std::string name;
    std::string path;
    std::function<bool(NuvaroConnector&)> call;
    std::string successLine;
    std::string refusalLine;
    Poco::Message::Priority refusalLevel;
};

std::vector<ExplorerOp> explorerOps() {
    return {
        {"create folder", "/app/explorer/createfolder",
         [](NuvaroConnector& c) { return c.createRemoteFolder("n", "/user1/p"); },
         "Folder n in Path /user1/p create Successful!",
         "createRemoteFolder: Folder create failed.  result=0 message: Permission denied", Poco::Message::PRIO_ERROR},
        {"delete", "/app/explorer/deletefile", [](NuvaroConnector& c) { return c.deleteRemoteFile("/user1/p", "n"); },
         "Delete of file n in folder /user1/p Successful!",
         "deleteRemoteFile: Delete failed.  result=0 message: Permission denied", Poco::Message::PRIO_ERROR},
        {"rename", "/app/explorer/renamefile",
         [](NuvaroConnector& c) { return c.renameRemoteFile("/user1/p", "n", "m"); }, "Rename Item Successful!",
         "Rename Item failed.  result=0 message: Permission denied", Poco::Message::PRIO_TRACE},
        {"copy", "/app/explorer/copyfile", [](NuvaroConnector& c) { return c.copyRemoteFile("/user1/p", "n", "/t"); },
         "Copy  File n in folder /user1/p to /t Successful!",
         "copyRemoteFile: Copy failed.  result=0 message: Permission denied", Poco::Message::PRIO_TRACE},
        {"rename or move", "/app/explorer/renameormove",
         [](NuvaroConnector& c) { return c.renameOrMoveRemoteFile("/user1/n", "/user1/m", false); },
         "Rename or Move of File /user1/n to /user1/m Successful!",
         "renameOrMoveRemoteFile: Rename or Move failed.  result=0 message: Permission denied",
         Poco::Message::PRIO_ERROR},
    };
}

bool loggedWith(CloudSyncTest::LogCapture& log, const std::string& text, Poco::Message::Priority priority) {
    for (const auto& entry : log.channel().entries()) {
        if (entry.text == text && entry.priority == priority) return true;
    }
    return false;
}

// Every command: the XML decides (an error status with a success record is a
// success), a refusal keeps the server's message (the rename's too), and an
// unexpected reply or a failed exchange leaves the last error empty.
TEST_F(CommandTest, CommandReplyVariants) {
    struct Row {
        Variant variant;
        bool ok;
        std::string lastError;
        std::string errorLine; // "" : none checked
    };
    const std::vector<Row> rows = {
        {Variant::Success, true, "", ""},
        {Variant::Refusal, false, "Permission denied", ""},
        {Variant::ZeroRecords, false, "", "Unexpected XML response. No records received!"},
        {Variant::TwoRecords, false, "", "Unexpected XML response. More than the expected records received!"},
        {Variant::NotXml, false, "", ""},
        {Variant::ErrorStatus, true, "", ""},
        {Variant::Dropped, false, "", ""},
    };
    for (const ExplorerOp& op : explorerOps()) {
        for (const Row& row : rows) {
            SCOPED_TRACE(op.name + ": " + variantName(row.variant));
            CloudSyncTest::LogCapture log;
            inject(faultFor(row.variant, op.path, COMMAND_BODIES));
            EXPECT_EQ(op.call(*client), row.ok);
            expectText(client->getLastError(), row.lastError);
            if (!row.errorLine.empty()) {
                EXPECT_TRUE(loggedWith(log, row.errorLine, Poco::Message::PRIO_ERROR));
            }
            if (row.variant == Variant::Success) {
                EXPECT_TRUE(loggedWith(log, op.successLine, Poco::Message::PRIO_TRACE));
            }
            if (row.variant == Variant::Refusal) {
                EXPECT_TRUE(loggedWith(log, op.refusalLine, op.refusalLevel)) << log.dump();
            }
            if (!row.ok && row.errorLine.empty() && row.variant != Variant::Refusal) {
                EXPECT_TRUE(loggedAtError(log)) << "a failed exchange is logged";
            }
        }
    }
}

// The rename logs its refusal at trace level only, so the message it keeps is
// the caller's only way to learn why.
TEST_F(CommandTest, RenameRefusedByTheServerKeepsItsMessage) {
    CloudSyncTest::LogCapture log;
    EXPECT_FALSE(client->renameRemoteFile("/user1/docs", "a.txt", "x/y"));
    EXPECT_FALSE(loggedAtError(log)) << log.dump();
    EXPECT_EQ(client->getLastError(), "Invalid name");
}

TEST_F(CommandTest, ExceptionLinesNameTheOperation) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { client->createRemoteFolder("n", "/user1"); }, "createRemoteFolder : Caught Exception "},
        {[&] { client->lockFile("/user1/docs/a.txt", 0); }, "lockFile ["},
        {[&] {
             Nuvaro::RecordList shares;
             client->quickShare("/user1/docs/a.txt", shares);
         },
         "quickShare"},
    };
    for (const auto& [call, prefix] : cases) {
        SCOPED_TRACE(prefix);
        server.addFault(TS::TestFault::dropAfter("*", 0));
        CloudSyncTest::LogCapture log;
        call();
        server.clearFaults();
        bool found = false;
        for (const auto& entry : log.channel().entries()) {
            if (entry.priority == Poco::Message::PRIO_ERROR && entry.text.rfind(prefix, 0) == 0) found = true;
            if (prefix == "lockFile [" && entry.priority == Poco::Message::PRIO_ERROR) {
                EXPECT_EQ(entry.text.back(), ']');
            }
        }
        EXPECT_TRUE(found) << log.dump();
    }
}

} // namespace
} // namespace CommandTests
