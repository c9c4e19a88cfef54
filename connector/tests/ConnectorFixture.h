#pragma once

// A test server on 127.0.0.1 with one account, and connectors configured for
// it. Tests change single settings through the overrides map; a value of
// ConnectorFixture::kAbsent removes the key.

#include "LogCapture.h"
#include "VaultpineTestServer.h"
#include "nuvarocbfs_Network.h"

#include <Poco/Environment.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace ConnectorTesting {

using Nuvaro::NuvaroConnector;
using Nuvaro::Record;
using Nuvaro::RecordList;
using Nuvaro::Sync::TestServer::RecordedRequest;
using Nuvaro::Sync::TestServer::ServerOptions;
using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::TestFault;
using Nuvaro::Sync::TestServer::VaultpineTestServer;

using Settings = std::map<std::string, std::string>;

// Server paths the tests look up in the request log.
namespace Paths {
const std::string LOGIN = "/core/loginguest";
const std::string TWO_FA = "/core/2falogin";
const std::string DEVICE_ACCESS = "/core/requestdeviceaccess";
const std::string PROFILE = "/core/authenticateprofile";
const std::string STATUS = "/core/getsystemstatus";
const std::string AUTH_INFO = "/core/getauthenticationinfo";
const std::string FILE_INFO = "/core/fileinfo";
const std::string ACCESS = "/core/getaccessdetailsforpath";
const std::string FAVORITES = "/core/getfavoritesinlist";
const std::string FAVORITE_LISTS = "/core/getallfavoritelists";
const std::string PLUGINS = "/core/getpluginlaunchlist";
} // namespace Paths

// Percent-encoding written out by hand for the tests: letters, digits and
// "-_.~" stay, every other byte becomes %XX with upper-case hex digits.
inline std::string percentEncoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

// A command reply with the given records' result and message.
inline std::string commandBody(const std::string& result, const std::string& message) {
    return "<?xml version=\"1.0\"?><response><command><result>" + result + "</result><message>" + message +
           "</message></command></response>";
}

inline Record makeRecord(const Settings& values) { return Record(new std::map<std::string, std::string>(values)); }

class ConnectorFixture : public ::testing::Test {
public:
    static constexpr const char* kAbsent = "<absent>";
    static constexpr const char* kUser = "user1";
    static constexpr const char* kPassword = "p&ss+w=rd 1";

protected:
    explicit ConnectorFixture(ServerOptions options = ServerOptions()) : server(options) {}

    void SetUp() override {
        server.start();
        server.addAccount(account());
    }

    // The test account; tests switch on its other login flows.
    static TestAccount account() {
        TestAccount account;
        account.userId = kUser;
        account.password = kPassword;
        return account;
    }

    Settings settings(const Settings& overrides = {}) const {
        Settings values{{"url", server.baseUrl()},
                        {"profile", kUser},
                        {"password", kPassword},
                        {"RMC_CLIENT_ID", "client-1"},
                        {"RMC_CLIENT_DISP_NAME", "My PC"},
                        {"RMC_CLIENT_APP_VERSION", "15.90.0.35620"},
                        {"RMC_CLIENT_OS_TYPE", "Linux"},
                        {"RMC_CLIENT_OS_VERSION", "6.1"}};
        for (const auto& [key, value] : overrides) {
            if (value == kAbsent) {
                values.erase(key);
            } else {
                values[key] = value;
            }
        }
        return values;
    }

    std::unique_ptr<NuvaroConnector> connector(const Settings& overrides = {},
                                               const std::string& userAgent = "Cloud Sync") const {
        return std::make_unique<NuvaroConnector>(RecordList{makeRecord(settings(overrides))}, true, userAgent);
    }

    std::unique_ptr<NuvaroConnector> loggedIn(const Settings& overrides = {},
                                              const std::string& userAgent = "Cloud Sync") const {
        auto c = connector(overrides, userAgent);
        EXPECT_TRUE(c->Authenticate(true)) << c->getLastError();
        return c;
    }

    // The last request the server recorded for the path.
    RecordedRequest lastRequest(const std::string& path) const {
        const auto all = server.requests(path);
        if (all.empty()) {
            ADD_FAILURE() << "no request for " << path;
            return RecordedRequest();
        }
        return all.back();
    }

    static std::string nodeName() { return Poco::Environment::nodeName(); }

    VaultpineTestServer server;
};

} // namespace ConnectorTesting
