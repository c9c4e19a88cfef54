// The executable starts, serves a login to curl, and stops on SIGTERM; it
// prints its usage on --help, refuses bad arguments, and serves the files of
// --seed.

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/StreamCopier.h>
#include <Poco/TemporaryFile.h>
#include <Poco/Thread.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/wait.h>

namespace {

// Runs curl with the arguments; its standard output.
std::string curl(const std::vector<std::string>& args)
{
    Poco::Process::Args all{"-s", "--max-time", "10"};
    all.insert(all.end(), args.begin(), args.end());
    Poco::Pipe out;
    Poco::ProcessHandle handle = Poco::Process::launch("curl", all, nullptr, &out, nullptr);
    Poco::PipeInputStream stream(out);
    std::string reply;
    Poco::StreamCopier::copyToString(stream, reply);
    EXPECT_EQ(handle.wait(), 0);
    return reply;
}

// Reads the port the server writes once listening; "" after 10 s.
std::string waitForPort(const std::string& portFile)
{
    std::string port;
    for (int waited = 0; waited < 10000 && port.empty(); waited += 20) {
        std::ifstream in(portFile);
        std::getline(in, port);
        if (port.empty()) Poco::Thread::sleep(20);
    }
    return port;
}

// Waits up to timeoutMs for the process to end; its exit status, or -1.
int waitForExit(Poco::ProcessHandle::PID pid, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        Poco::Thread::sleep(20);
    }
    return -1;
}

// Sends SIGTERM, expects a clean exit (killing the server after 10 s) and
// returns what it printed.
std::string stopServer(Poco::ProcessHandle::PID pid, Poco::Pipe& out)
{
    kill(pid, SIGTERM);
    int status = waitForExit(pid, 10000);
    if (status == -1) kill(pid, SIGKILL);
    EXPECT_EQ(status, 0);
    Poco::PipeInputStream stream(out);
    std::string printed;
    Poco::StreamCopier::copyToString(stream, printed);
    return printed;
}

TEST(TestServerExecutable, ServesALoginToCurlAndStopsOnSigterm)
{
    Poco::TemporaryFile folder;
    folder.createDirectories();
    std::string portFile = folder.path() + "/port";
    {
        std::ofstream accounts(folder.path() + "/accounts");
        accounts << "# user password profile\n\nann secret annprofile\n";
    }
    Poco::Process::Args args{"--port", "0", "--port-file", portFile, "--accounts", folder.path() + "/accounts",
                             "--data", folder.path() + "/data"};
    Poco::Pipe out;
    Poco::ProcessHandle server = Poco::Process::launch(VAULTPINE_TESTSERVER_EXE, args, nullptr, &out, nullptr);
    Poco::ProcessHandle::PID pid = server.id();

    std::string port = waitForPort(portFile);
    ASSERT_FALSE(port.empty()) << "no port file";

    std::string reply =
        curl({"-i", "-d", "userid=ann&password=secret", "http://127.0.0.1:" + port + "/core/loginguest"});
    EXPECT_NE(reply.find("Set-Cookie: vpsession="), std::string::npos) << reply;
    EXPECT_NE(reply.find("<result>1</result>"), std::string::npos) << reply;

    std::string printed = stopServer(pid, out);
    EXPECT_NE(printed.find("Listening on http://127.0.0.1:" + port), std::string::npos) << printed;
    EXPECT_TRUE(Poco::File(folder.path() + "/data/files").exists());
}

TEST(TestServerExecutable, PrintsUsageOnHelpAndRefusesBadArguments)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string printed;
    } cases[] = {
        {{"--help"}, 0, "Usage: vaultpine-testserver"},
        {{"--bogus"}, 1, "unknown argument --bogus"},
        {{"--seed", "user1"}, 1, "--seed needs ACCOUNT=FOLDER"},
        {{"--seed", "nobody=/nonexistent-folder"}, 1, "no account nobody"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.args.front());
        Poco::Pipe out;
        Poco::ProcessHandle server =
            Poco::Process::launch(VAULTPINE_TESTSERVER_EXE, Poco::Process::Args(tc.args), nullptr, &out, &out);
        Poco::ProcessHandle::PID pid = server.id();
        Poco::PipeInputStream stream(out);
        std::string printed;
        Poco::StreamCopier::copyToString(stream, printed);
        int status = waitForExit(pid, 10000);
        if (status == -1) kill(pid, SIGKILL);
        EXPECT_EQ(status, tc.exitCode);
        EXPECT_NE(printed.find(tc.printed), std::string::npos) << printed;
    }
}

TEST(TestServerExecutable, SeedServesTheFilesOfALocalFolder)
{
    Poco::TemporaryFile folder;
    Poco::File(folder.path() + "/seed/sub").createDirectories();
    {
        std::ofstream file(folder.path() + "/seed/sub/a.txt");
        file << "seeded bytes";
    }
    Poco::File(folder.path() + "/seed/sub/a.txt").setLastModified(Poco::Timestamp::fromEpochTime(1600000000));
    std::string portFile = folder.path() + "/port";
    Poco::Process::Args args{"--port-file", portFile, "--seed", "user1=" + folder.path() + "/seed"};
    Poco::Pipe out;
    Poco::ProcessHandle server = Poco::Process::launch(VAULTPINE_TESTSERVER_EXE, args, nullptr, &out, nullptr);
    Poco::ProcessHandle::PID pid = server.id();
    std::string port = waitForPort(portFile);
    ASSERT_FALSE(port.empty()) << "no port file";

    std::string base = "http://127.0.0.1:" + port;
    std::string jar = folder.path() + "/cookies";
    curl({"-c", jar, "-d", "userid=user1&password=pass1", base + "/core/loginguest"});
    EXPECT_EQ(curl({"-b", jar, base + "/core/downloadfile?filepath=%2Fuser1%2Fsub&filename=a.txt"}), "seeded bytes");
    std::string info = curl({"-b", jar, base + "/core/fileinfo?file=%2Fuser1%2Fsub%2Fa.txt"});
    EXPECT_NE(info.find("<modifiedepoch>1600000000</modifiedepoch>"), std::string::npos) << info;

    std::string printed = stopServer(pid, out);
    EXPECT_NE(printed.find("Seeded 2 items of user1"), std::string::npos) << printed;
}

} // namespace
