// TLS set-up against the test server over HTTPS. The client context is
// process-wide, so these tests live in their own binary; each test sets up TLS
// for itself in a temporary working directory that holds the PEM files it
// wants.

#include "ConnectorFixture.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Net/VerificationErrorArgs.h>
#include <Poco/Path.h>
#include <Poco/StreamCopier.h>
#include <Poco/TemporaryFile.h>

#include <unistd.h>

using namespace ConnectorTesting;

namespace {

std::string certFile(const std::string& name) {
    return Poco::Path(VaultpineTestServer::certDir(), name).toString();
}

ServerOptions httpsWith(const std::string& prefix) {
    ServerOptions options;
    options.https = true;
    options.redirectListener = false;
    options.certFile = certFile(prefix + "server.pem");
    options.keyFile = certFile(prefix + "server.key");
    return options;
}

// Runs a test in a fresh working directory (where initSSL looks for its PEM
// files) and goes back afterwards.
class WorkingDirectory {
public:
    WorkingDirectory() : m_previous(Poco::Path::current()) {
        m_dir.createDirectories();
        if (::chdir(m_dir.path().c_str()) != 0) ADD_FAILURE() << "chdir " << m_dir.path();
    }
    ~WorkingDirectory() {
        if (::chdir(m_previous.c_str()) != 0) ADD_FAILURE() << "chdir back";
    }
    void copyIn(const std::string& from, const std::string& name) { Poco::File(from).copyTo(file(name)); }
    void write(const std::string& name, const std::string& text) {
        Poco::FileOutputStream out(file(name));
        out << text;
    }
    std::string file(const std::string& name) const { return Poco::Path(m_dir.path(), name).toString(); }

private:
    std::string m_previous;
    Poco::TemporaryFile m_dir;
};

} // namespace

TEST(TlsNames, LevelAndVerificationNames) {
    using Poco::Net::Context;
    struct Level {
        std::string name;
        Context::Usage usage;
    };
    for (const Level& c : {Level{"TLSV1_2_CLIENT_USE", Context::TLSV1_2_CLIENT_USE},
                           Level{"TLSV1_1_CLIENT_USE", Context::TLSV1_1_CLIENT_USE},
                           Level{"TLSV1_CLIENT_USE", Context::TLSV1_CLIENT_USE},
                           Level{"tlsv1_2_client_use", Context::TLSV1_CLIENT_USE},
                           Level{"TLSV1_3_CLIENT_USE", Context::TLSV1_CLIENT_USE}, Level{"", Context::TLSV1_CLIENT_USE}}) {
        EXPECT_EQ(NuvaroConnector::tlsUsageFor(c.name), c.usage) << c.name;
    }
    struct Mode {
        std::string name;
        Context::VerificationMode mode;
    };
    for (const Mode& c : {Mode{"VERIFY_NONE", Context::VERIFY_NONE}, Mode{"VERIFY_STRICT", Context::VERIFY_STRICT},
                          Mode{"VERIFY_RELAXED", Context::VERIFY_STRICT}, Mode{"verify_none", Context::VERIFY_STRICT},
                          Mode{"", Context::VERIFY_STRICT}}) {
        EXPECT_EQ(NuvaroConnector::verificationModeFor(c.name), c.mode) << c.name;
    }
}

TEST(TlsHandlers, PassphraseIsFixedAndFailingCertificatesAreNeverAccepted) {
    Nuvaro::NuvaroConnectorClientPrivateKeyResponseHandler keyHandler(true);
    std::string passphrase = "something";
    keyHandler.onPrivateKeyRequested(nullptr, passphrase);
    EXPECT_EQ(passphrase, "pindle");

    Nuvaro::NuvaroConnectorCertificateHandler certificateHandler(true);
    Poco::Net::X509Certificate certificate(certFile("server.pem"));
    Poco::Net::VerificationErrorArgs args(nullptr, certificate, 0, 18, "self signed certificate");
    args.setIgnoreError(true);
    certificateHandler.onInvalidCertificate(nullptr, args);
    EXPECT_FALSE(args.getIgnoreError());
}

class TestCaServerTest : public ConnectorFixture {
protected:
    TestCaServerTest() : ConnectorFixture(httpsWith("")) {}
    void SetUp() override {
        dir.copyIn(certFile("ca.pem"), "clientca.pem");
        NuvaroConnector::initSSL("TLSV1_CLIENT_USE", "VERIFY_STRICT");
        ConnectorFixture::SetUp();
    }
    WorkingDirectory dir;
};

TEST_F(TestCaServerTest, ACertificateOfTheTrustedCaWithTheRightNameWorks) {
    const std::string port = std::to_string(server.port());
    for (const std::string& url : std::vector<std::string>{"https://127.0.0.1:" + port, "https://localhost:" + port + "/ignored/path",
                                  "HTTPS://localhost:" + port}) {
        SCOPED_TRACE(url);
        auto conn = loggedIn({{"url", url}});
        RecordList status;
        EXPECT_TRUE(conn->getServerStatus(status, true));
    }
}

TEST_F(TestCaServerTest, EveryLevelNameConnects) {
    for (const char* level : {"TLSV1_2_CLIENT_USE", "TLSV1_1_CLIENT_USE", "TLSV1_CLIENT_USE"}) {
        SCOPED_TRACE(level);
        NuvaroConnector::initSSL(level, "VERIFY_STRICT");
        auto conn = connector();
        EXPECT_TRUE(conn->Authenticate(true)) << conn->getLastError();
    }
}

TEST_F(TestCaServerTest, LanDetectionNeverDowngradesToPlainHttp) {
    VaultpineTestServer plain;
    plain.start();
    VaultpineTestServer secure(httpsWith(""));
    secure.start();
    struct Case {
        std::string location;
        std::string expected;
    };
    for (const Case& c : {Case{plain.baseUrl() + "/ui/core/index.html", server.baseUrl()},
                          Case{secure.baseUrl() + "/ui/core/index.html", secure.baseUrl()}}) {
        SCOPED_TRACE(c.location);
        server.setRootRedirect(c.location);
        CloudSyncTest::LogCapture log;
        auto conn = connector();
        conn->detectLan();
        EXPECT_EQ(conn->getServerURI(), c.expected) << log.dump();
    }
    EXPECT_TRUE(plain.requests().empty());
}

class ForeignCaServerTest : public ConnectorFixture {
protected:
    ForeignCaServerTest() : ConnectorFixture(httpsWith("foreign-")) {}
    void SetUp() override {
        dir.copyIn(certFile("ca.pem"), "clientca.pem");
        ConnectorFixture::SetUp();
    }
    WorkingDirectory dir;
};

TEST_F(ForeignCaServerTest, ACertificateOfAnotherCaFailsCleanly) {
    NuvaroConnector::initSSL("TLSV1_CLIENT_USE", "VERIFY_STRICT");
    CloudSyncTest::LogCapture log;
    auto conn = connector();
    bool result = true;
    EXPECT_NO_THROW(result = conn->Authenticate(true));
    EXPECT_FALSE(result);
    EXPECT_FALSE(conn->isAuthenticated());
    const std::string error = conn->getLastError();
    EXPECT_NE(error.find("certificate verify failed"), std::string::npos) << error;
    EXPECT_TRUE(server.requests().empty());
    RecordList status;
    EXPECT_FALSE(conn->getServerStatus(status, false));
}

TEST_F(ForeignCaServerTest, OnlyVerifyNoneTurnsVerificationOff) {
    NuvaroConnector::initSSL("TLSV1_CLIENT_USE", "VERIFY_NONE");
    auto conn = connector();
    EXPECT_TRUE(conn->Authenticate(true)) << conn->getLastError();

    NuvaroConnector::initSSL("TLSV1_CLIENT_USE", "verify_none");
    EXPECT_FALSE(connector()->Authenticate(true));
}

class MissingPemTest : public ConnectorFixture {
protected:
    MissingPemTest() : ConnectorFixture(httpsWith("")) {}
    WorkingDirectory dir;
};

// Without clientca.pem the system's CA store anchors chains: strict
// verification still runs, so the test CA's server is refused.
TEST_F(MissingPemTest, MissingFilesAreLoggedAndTheSystemStoreIsUsed) {
    CloudSyncTest::LogCapture log;
    EXPECT_NO_THROW(NuvaroConnector::initSSL("TLSV1_CLIENT_USE", "VERIFY_STRICT"));
    EXPECT_TRUE(log.contains("clientcert.pem not found")) << log.dump();
    EXPECT_TRUE(log.contains("clientca.pem not found")) << log.dump();
    auto conn = connector();
    EXPECT_FALSE(conn->Authenticate(true));
    const std::string error = conn->getLastError();
    EXPECT_NE(error.find("certificate verify failed"), std::string::npos) << error;
}

TEST_F(MissingPemTest, UnreadableFilesAreLoggedAndSkipped) {
    dir.write("clientcert.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    dir.copyIn(certFile("ca.pem"), "clientca.pem");
    CloudSyncTest::LogCapture log;
    EXPECT_NO_THROW(NuvaroConnector::initSSL("TLSV1_CLIENT_USE", "VERIFY_STRICT"));
    EXPECT_TRUE(log.contains("cannot read clientcert.pem")) << log.dump();
    auto conn = connector();
    EXPECT_TRUE(conn->Authenticate(true)) << conn->getLastError();

    dir.write("clientca.pem", "garbage");
    log.channel().clear();
    EXPECT_NO_THROW(NuvaroConnector::initSSL("TLSV1_CLIENT_USE", "VERIFY_STRICT"));
    EXPECT_TRUE(log.contains("cannot read clientca.pem")) << log.dump();
    EXPECT_FALSE(connector()->Authenticate(true));
}

TEST_F(MissingPemTest, AClientCertificateIsLoadedWhenPresent) {
    dir.copyIn(certFile("server.pem"), "clientcert.pem");
    dir.copyIn(certFile("ca.pem"), "clientca.pem");
    CloudSyncTest::LogCapture log;
    EXPECT_NO_THROW(NuvaroConnector::initSSL("TLSV1_2_CLIENT_USE", "VERIFY_STRICT"));
    EXPECT_FALSE(log.contains("clientcert.pem")) << log.dump();
    EXPECT_TRUE(connector()->Authenticate(true));
}
