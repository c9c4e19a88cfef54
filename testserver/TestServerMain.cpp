// vaultpine-testserver: runs the test server until SIGINT or SIGTERM.
//
//   vaultpine-testserver [--port N] [--https] [--cert FILE --key FILE]
//                        [--data DIR] [--no-redirect] [--port-file FILE]
//                        [--account USER:PASSWORD[:PROFILE]]... [--accounts FILE]
//
// An accounts file holds one account per line, "USER PASSWORD [PROFILE]";
// blank lines and lines starting with "#" are skipped. With no account given,
// the account user1/pass1 is created. The first line on standard output is
// "Listening on <base URL>"; --port-file also writes the port number to FILE.

#include "VaultpineTestServer.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <sstream>

using namespace Nuvaro::Sync::TestServer;

namespace {

struct Arguments {
    ServerOptions options;
    std::vector<TestAccount> accounts;
    std::string portFile;
};

TestAccount parseAccount(const std::string& user, const std::string& password, const std::string& profile)
{
    TestAccount account;
    account.userId = user;
    account.password = password;
    account.profile = profile;
    return account;
}

void readAccountsFile(const std::string& file, std::vector<TestAccount>& accounts)
{
    std::ifstream in(file);
    if (!in) throw Poco::FileNotFoundException(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string user, password, profile;
        if (!(words >> user) || user[0] == '#') continue;
        if (!(words >> password)) throw Poco::SyntaxException("account without password", line);
        words >> profile;
        accounts.push_back(parseAccount(user, password, profile));
    }
}

Arguments parseArguments(int argc, char** argv)
{
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw Poco::InvalidArgumentException("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--port") {
            args.options.port = static_cast<Poco::UInt16>(Poco::NumberParser::parseUnsigned(value()));
        } else if (arg == "--https") {
            args.options.https = true;
        } else if (arg == "--cert") {
            args.options.certFile = value();
        } else if (arg == "--key") {
            args.options.keyFile = value();
        } else if (arg == "--data") {
            args.options.dataDir = value();
        } else if (arg == "--no-redirect") {
            args.options.redirectListener = false;
        } else if (arg == "--port-file") {
            args.portFile = value();
        } else if (arg == "--account") {
            Poco::StringTokenizer parts(value(), ":");
            if (parts.count() < 2) throw Poco::InvalidArgumentException("--account needs USER:PASSWORD[:PROFILE]");
            args.accounts.push_back(parseAccount(parts[0], parts[1], parts.count() > 2 ? parts[2] : ""));
        } else if (arg == "--accounts") {
            readAccountsFile(value(), args.accounts);
        } else {
            throw Poco::InvalidArgumentException("unknown argument " + arg);
        }
    }
    if (args.accounts.empty()) args.accounts.push_back(parseAccount("user1", "pass1", ""));
    return args;
}

} // namespace

int main(int argc, char** argv)
{
    // Block the stop signals before any thread exists, so every server thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        Arguments args = parseArguments(argc, argv);
        VaultpineTestServer server(args.options);
        for (const TestAccount& account : args.accounts) server.addAccount(account);
        server.start();
        std::cout << "Listening on " << server.baseUrl() << std::endl;
        std::cout << "Data folder " << server.dataDir() << std::endl;
        if (!args.portFile.empty()) {
            std::ofstream portFile(args.portFile + ".tmp");
            portFile << server.port() << "\n";
            portFile.close();
            std::rename((args.portFile + ".tmp").c_str(), args.portFile.c_str());
        }
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::cout << "Stopping on signal " << signal << std::endl;
        server.stop();
        return 0;
    } catch (Poco::Exception& e) {
        std::cerr << "vaultpine-testserver: " << e.displayText() << std::endl;
    } catch (std::exception& e) {
        std::cerr << "vaultpine-testserver: " << e.what() << std::endl;
    }
    return 1;
}
