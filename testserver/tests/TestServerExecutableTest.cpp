// The executable starts, serves a login to curl, and stops on SIGTERM.

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

    std::string port;
    for (int waited = 0; waited < 10000 && port.empty(); waited += 20) {
        std::ifstream in(portFile);
        std::getline(in, port);
        if (port.empty()) Poco::Thread::sleep(20);
    }
    ASSERT_FALSE(port.empty()) << "no port file";

    Poco::Pipe curlOut;
    Poco::ProcessHandle curl = Poco::Process::launch(
        "curl", {"-s", "-i", "--max-time", "10", "-d", "userid=ann&password=secret",
                 "http://127.0.0.1:" + port + "/core/loginguest"},
        nullptr, &curlOut, nullptr);
    Poco::PipeInputStream curlStream(curlOut);
    std::string reply;
    Poco::StreamCopier::copyToString(curlStream, reply);
    EXPECT_EQ(curl.wait(), 0);
    EXPECT_NE(reply.find("Set-Cookie: vpsession="), std::string::npos) << reply;
    EXPECT_NE(reply.find("<result>1</result>"), std::string::npos) << reply;

    kill(pid, SIGTERM);
    int status = waitForExit(pid, 10000);
    if (status == -1) kill(pid, SIGKILL);
    EXPECT_EQ(status, 0);
    Poco::PipeInputStream serverStream(out);
    std::string printed;
    Poco::StreamCopier::copyToString(serverStream, printed);
    EXPECT_NE(printed.find("Listening on http://127.0.0.1:" + port), std::string::npos) << printed;
    EXPECT_TRUE(Poco::File(folder.path() + "/data/files").exists());
}

} // namespace
