// vaultpine-testserver: runs the test server until SIGINT or SIGTERM.
// "--help" prints the usage below; the first line on standard output is
// "Listening on <base URL>".

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

const char* const kUsage =
    "Usage: vaultpine-testserver [options]\n"
    "Runs the Vaultpine test server on 127.0.0.1 until SIGINT or SIGTERM.\n"
    "\n"
    "  --port N                  listen on port N (0 or absent: any free port)\n"
    "  --https                   serve TLS with the test certificate\n"
    "  --cert FILE --key FILE    serve TLS with this certificate and key (PEM)\n"
    "  --data DIR                keep file contents in DIR (default: a temp folder removed at exit)\n"
    "  --no-redirect             answer downloads directly instead of redirecting them\n"
    "  --port-file FILE          write the port number to FILE once listening\n"
    "  --account USER:PASSWORD[:PROFILE]   add an account (repeatable)\n"
    "  --accounts FILE           add the accounts of FILE, one \"USER PASSWORD [PROFILE]\" a line\n"
    "                            (blank lines and lines starting with \"#\" are skipped)\n"
    "  --seed ACCOUNT=FOLDER     load the files below FOLDER into the account's own files (repeatable)\n"
    "  --help                    print this text and exit\n"
    "\n"
    "Without an account, the account user1/pass1 is created.\n";

struct Arguments {
    ServerOptions options;
    std::vector<TestAccount> accounts;
    std::vector<std::pair<std::string, std::string>> seeds; // account, local folder
    std::string portFile;
    bool help = false;
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
        } else if (arg == "--seed") {
            std::string seed = value();
            std::size_t eq = seed.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == seed.size())
                throw Poco::InvalidArgumentException("--seed needs ACCOUNT=FOLDER");
            args.seeds.emplace_back(seed.substr(0, eq), seed.substr(eq + 1));
        } else if (arg == "--help" || arg == "-h") {
            args.help = true;
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
        if (args.help) {
            std::cout << kUsage;
            return 0;
        }
        VaultpineTestServer server(args.options);
        for (const TestAccount& account : args.accounts) server.addAccount(account);
        for (const auto& seed : args.seeds) {
            int loaded = server.seedFromFolder(seed.first, seed.second);
            if (loaded < 0)
                throw Poco::InvalidArgumentException("--seed: no account " + seed.first + " or no folder " +
                                                     seed.second);
            std::cout << "Seeded " << loaded << " items of " << seed.first << " from " << seed.second << std::endl;
        }
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
        std::cerr << "vaultpine-testserver: " << e.displayText() << "\n" << kUsage;
    } catch (std::exception& e) {
        std::cerr << "vaultpine-testserver: " << e.what() << std::endl;
    }
    return 1;
}
