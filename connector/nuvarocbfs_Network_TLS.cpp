// NuvaroConnector: the process-wide TLS client set-up and its two callback
// handlers.

#include "nuvarocbfs_Network.h"

#include <Poco/Crypto/X509Certificate.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/VerificationErrorArgs.h>
#include <Poco/SharedPtr.h>

namespace Nuvaro {

namespace {

Poco::Logger& rootLog() { return Poco::Logger::get("root"); }

const std::string CLIENT_CERT_FILE = "clientcert.pem";
const std::string CLIENT_CA_FILE = "clientca.pem";
const std::string CIPHER_LIST = "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH";
const int VERIFICATION_DEPTH = 9;

// True when path exists and holds at least one readable PEM certificate;
// otherwise logs why the file is not used.
bool usablePemFile(const std::string& path, const std::string& fallback) {
    try {
        if (!Poco::File(path).exists()) {
            rootLog().error("initSSL : " + path + " not found; " + fallback);
            return false;
        }
        Poco::Crypto::X509Certificate certificate(path);
        return true;
    } catch (const Poco::Exception& e) {
        rootLog().error("initSSL : cannot read " + path + " (" + e.displayText() + "); " + fallback);
        return false;
    }
}

} // namespace

NuvaroConnectorClientPrivateKeyResponseHandler::NuvaroConnectorClientPrivateKeyResponseHandler(bool onServerSide)
    : Poco::Net::PrivateKeyPassphraseHandler(onServerSide) {}

NuvaroConnectorClientPrivateKeyResponseHandler::~NuvaroConnectorClientPrivateKeyResponseHandler() = default;

void NuvaroConnectorClientPrivateKeyResponseHandler::onPrivateKeyRequested(const void*, std::string& passphrase) {
    passphrase = "pindle";
}

NuvaroConnectorCertificateHandler::NuvaroConnectorCertificateHandler(bool onServerSide)
    : Poco::Net::InvalidCertificateHandler(onServerSide) {}

NuvaroConnectorCertificateHandler::~NuvaroConnectorCertificateHandler() = default;

void NuvaroConnectorCertificateHandler::onInvalidCertificate(const void*, Poco::Net::VerificationErrorArgs& errorArgs) {
    rootLog().error("TLS certificate rejected: " + errorArgs.errorMessage());
    errorArgs.setIgnoreError(false);
}

Poco::Net::Context::Usage NuvaroConnector::tlsUsageFor(const std::string& tlsLevel) {
    if (tlsLevel == "TLSV1_2_CLIENT_USE") return Poco::Net::Context::TLSV1_2_CLIENT_USE;
    if (tlsLevel == "TLSV1_1_CLIENT_USE") return Poco::Net::Context::TLSV1_1_CLIENT_USE;
    return Poco::Net::Context::TLSV1_CLIENT_USE;
}

Poco::Net::Context::VerificationMode NuvaroConnector::verificationModeFor(const std::string& verifyMode) {
    return verifyMode == "VERIFY_NONE" ? Poco::Net::Context::VERIFY_NONE : Poco::Net::Context::VERIFY_STRICT;
}

void NuvaroConnector::initSSL(const std::string& tlsLevel, const std::string& verifyMode) {
    Poco::SharedPtr<Poco::Net::PrivateKeyPassphraseHandler> passphraseHandler(
        new NuvaroConnectorClientPrivateKeyResponseHandler(true));
    Poco::SharedPtr<Poco::Net::InvalidCertificateHandler> certificateHandler(
        new NuvaroConnectorCertificateHandler(true));
    const Poco::Net::Context::Usage usage = tlsUsageFor(tlsLevel);
    const Poco::Net::Context::VerificationMode mode = verificationModeFor(verifyMode);

    // Without clientcert.pem the client simply presents no certificate; without
    // clientca.pem the system's CA store anchors server chains, so strict
    // verification still works.
    const std::string certFile =
        usablePemFile(CLIENT_CERT_FILE, "continuing without a client certificate") ? CLIENT_CERT_FILE : "";
    const std::string caFile = usablePemFile(CLIENT_CA_FILE, "using the system's CA store") ? CLIENT_CA_FILE : "";
    Poco::Net::Context::Ptr context;
    try {
        context = new Poco::Net::Context(usage, "", certFile, caFile, mode, VERIFICATION_DEPTH, caFile.empty(),
                                         CIPHER_LIST);
    } catch (const Poco::Exception& e) {
        rootLog().error("initSSL : cannot use " + CLIENT_CERT_FILE + " / " + CLIENT_CA_FILE + " (" + e.displayText() +
                        "); using no client certificate and the system's CA store");
        try {
            context = new Poco::Net::Context(usage, "", "", "", mode, VERIFICATION_DEPTH, true, CIPHER_LIST);
        } catch (const Poco::Exception& e2) {
            rootLog().error("initSSL : cannot create the TLS context: " + e2.displayText());
            return;
        }
    }
    Poco::Net::SSLManager::instance().initializeClient(passphraseHandler, certificateHandler, context);
}

} // namespace Nuvaro
