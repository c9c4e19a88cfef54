#pragma once

// A started test server with one account ("user1" / "pass1", profile
// "user1") and a logged-in plain HTTP client.

#include "TestServerClient.h"
#include "VaultpineTestServer.h"

#include <gtest/gtest.h>

#include <memory>

namespace TestServerTest {

using namespace Nuvaro::Sync::TestServer;

class TestServerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = std::make_unique<VaultpineTestServer>(options());
        server->start();
        addUser("user1", "pass1");
        client = std::make_unique<Client>(server->baseUrl());
        ASSERT_TRUE(client->login("user1", "pass1"));
    }

    void TearDown() override { server->stop(); }

    void addUser(const std::string& user, const std::string& password)
    {
        TestAccount account;
        account.userId = user;
        account.password = password;
        server->addAccount(account);
    }

    virtual ServerOptions options() { return ServerOptions(); }

    std::unique_ptr<VaultpineTestServer> server;
    std::unique_ptr<Client> client;
};

} // namespace TestServerTest
