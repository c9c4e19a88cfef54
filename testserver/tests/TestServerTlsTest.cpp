// HTTPS: a client that trusts only the test CA and verifies strictly logs in
// to the server, follows the redirect over TLS, and refuses a server whose
// certificate comes from the foreign CA.

#include "TestServerFixture.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/RejectCertificateHandler.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/URI.h>

namespace TestServerTest {
namespace {

Poco::Net::Context::Ptr strictClientContext(Poco::Net::Context::Usage usage = Poco::Net::Context::TLS_CLIENT_USE)
{
    return new Poco::Net::Context(usage, "", "", VaultpineTestServer::certDir() + "/ca.pem",
                                  Poco::Net::Context::VERIFY_STRICT, 9, false, "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH");
}

class TlsTest : public ::testing::Test {
protected:
    std::unique_ptr<VaultpineTestServer> startServer(const std::string& certName)
    {
        ServerOptions options;
        options.https = true;
        options.certFile = VaultpineTestServer::certDir() + "/" + certName + ".pem";
        options.keyFile = VaultpineTestServer::certDir() + "/" + certName + ".key";
        auto server = std::make_unique<VaultpineTestServer>(options);
        server->start();
        TestAccount account;
        account.userId = "user1";
        account.password = "pass1";
        server->addAccount(account);
        return server;
    }
};

TEST_F(TlsTest, StrictClientTrustingTheTestCaLogsInAndDownloadsThroughTheRedirect)
{
    auto server = startServer("server");
    EXPECT_EQ(server->baseUrl().compare(0, 8, "https://"), 0);
    server->putFile("user1", "/user1/t.txt", "over tls");
    for (const std::string& host : {std::string("127.0.0.1"), std::string("localhost")}) {
        SCOPED_TRACE(host);
        Client client("https://" + host + ":" + std::to_string(server->port()), strictClientContext());
        ASSERT_TRUE(client.login("user1", "pass1"));
        Response redirect = client.get("/core/downloadfile?filepath=%2Fuser1&filename=t.txt&redirect=1");
        ASSERT_EQ(redirect.status, 302);
        Poco::URI location(redirect.header("Location"));
        EXPECT_EQ(location.getScheme(), "https");
        Client second("https://127.0.0.1:" + std::to_string(location.getPort()), strictClientContext());
        EXPECT_EQ(second.get(location.getPathEtc()).body, "over tls");
    }
}

TEST_F(TlsTest, ForeignCertificateFailsStrictVerification)
{
    auto server = startServer("foreign-server");
    Client client(server->baseUrl(), strictClientContext());
    Response r = client.postForm("/core/loginguest", "userid=user1&password=pass1");
    EXPECT_TRUE(r.failed);
    EXPECT_TRUE(server->requests().empty());

    // The same server is fine for a client that trusts the foreign CA.
    Poco::Net::Context::Ptr foreignTrust =
        new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "",
                               VaultpineTestServer::certDir() + "/foreign-ca.pem", Poco::Net::Context::VERIFY_STRICT);
    Client trusting(server->baseUrl(), foreignTrust);
    EXPECT_TRUE(trusting.login("user1", "pass1"));
}

TEST_F(TlsTest, ClientsPinnedToOneProtocolVersionConnect)
{
    auto server = startServer("server");
    using Usage = Poco::Net::Context::Usage;
    for (Usage usage : {Poco::Net::Context::TLSV1_CLIENT_USE, Poco::Net::Context::TLSV1_1_CLIENT_USE,
                        Poco::Net::Context::TLSV1_2_CLIENT_USE, Poco::Net::Context::TLSV1_3_CLIENT_USE}) {
        SCOPED_TRACE(static_cast<int>(usage));
        Client client(server->baseUrl(), strictClientContext(usage));
        Response r = client.postForm("/core/loginguest", "userid=user1&password=pass1");
        EXPECT_FALSE(r.failed) << r.error;
    }
}

TEST_F(TlsTest, StoppingTheServerKeepsTheProcessWideClientContext)
{
    Poco::Net::Context::Ptr clientDefault = strictClientContext();
    Poco::SharedPtr<Poco::Net::InvalidCertificateHandler> reject = new Poco::Net::RejectCertificateHandler(false);
    Poco::Net::SSLManager::instance().initializeClient(nullptr, reject, clientDefault);
    {
        auto server = startServer("server");
        server->stop();
    }
    auto server = startServer("server");
    EXPECT_EQ(Poco::Net::SSLManager::instance().defaultClientContext().get(), clientDefault.get());
    Poco::Net::HTTPSClientSession session("127.0.0.1", server->port()); // the process-wide default context
    Poco::Net::HTTPRequest request("GET", "/");
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    session.receiveResponse(response);
    EXPECT_EQ(response.getStatus(), 302);
}

} // namespace
} // namespace TestServerTest
