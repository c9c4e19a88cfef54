#pragma once

// A program run as a child process for a test: started with posix_spawn (safe
// beside the test server's threads) with the arguments given, its standard
// output and error written to a file, with the environment of the test
// process plus the overrides given, the default action and no block for
// every signal. Every wait has a bound; the destructor kills and reaps a
// child that still runs.

#include "TempFolder.h"

#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace CloudSyncTest {

class ChildProcess {
public:
    // Exit code of a child that was killed because a wait ran out.
    static constexpr int TIMED_OUT = -1;

    ChildProcess(const std::string& program, const std::map<std::string, std::string>& environment,
                 const std::string& outputFile, const std::vector<std::string>& arguments = {})
        : m_outputFile(outputFile) {
        std::vector<std::string> entries;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string text = *entry;
            if (environment.count(text.substr(0, text.find('='))) == 0)
                entries.push_back(text);
        }
        for (const auto& setting : environment)
            entries.push_back(setting.first + "=" + setting.second);
        std::vector<char*> envp;
        for (std::string& text : entries)
            envp.push_back(&text[0]);
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::vector<std::string> words{program};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ChildProcess() {
        if (running()) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    bool running() const { return m_pid > 0 && !m_exited; }

    // Everything the child wrote so far.
    std::string output() const { return TempFolder::read(m_outputFile); }
    // The output's lines, without their line ends.
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(output());
        std::string line;
        while (std::getline(in, line))
            result.push_back(line);
        return result;
    }
    bool hasLine(const std::string& line) const {
        for (const std::string& written : lines())
            if (written == line)
                return true;
        return false;
    }

    // Waits until the output holds the line or the child ended or the time
    // ran out; whether the line came.
    bool waitForLine(const std::string& line, long timeoutMs) {
        Poco::Timestamp began;
        while (!hasLine(line)) {
            if (began.elapsed() > timeoutMs * 1000 || !stillRunning())
                return hasLine(line);
            Poco::Thread::sleep(20);
        }
        return true;
    }

    void signal(int number) {
        if (running())
            ::kill(m_pid, number);
    }

    // Waits for the end: the exit code, 128 + the signal for a child a signal
    // ended, or TIMED_OUT after killing a child that did not end in time.
    int waitForExit(long timeoutMs) {
        Poco::Timestamp began;
        while (stillRunning()) {
            if (began.elapsed() > timeoutMs * 1000) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
                m_exited = true;
                m_exitCode = TIMED_OUT;
                return TIMED_OUT;
            }
            Poco::Thread::sleep(20);
        }
        return m_exitCode;
    }

    // Kills the child at once (SIGKILL) and reaps it.
    void kill() {
        signal(SIGKILL);
        waitForExit(10000);
    }

private:
    bool stillRunning() {
        if (!running())
            return false;
        int status = 0;
        pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == 0)
            return true;
        m_exited = true;
        if (done < 0)
            m_exitCode = TIMED_OUT;
        else
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

    std::string m_outputFile;
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_exitCode = TIMED_OUT;
};

} // namespace CloudSyncTest
