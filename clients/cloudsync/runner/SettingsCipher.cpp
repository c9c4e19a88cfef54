#include "SettingsCipher.h"

#include <Poco/Crypto/Cipher.h>
#include <Poco/Crypto/CipherFactory.h>
#include <Poco/Crypto/CipherKey.h>
#include <Poco/Exception.h>
#include <Poco/UUID.h>
#include <Poco/UUIDGenerator.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kCipherName = "aes-256-cbc";
const int kIterations = 2000;

// The cipher of a salt; throws what Poco Crypto throws. An empty salt is
// refused: the stored secret always has one.
Poco::AutoPtr<Poco::Crypto::Cipher> cipherFor(const std::string& salt) {
    if (salt.empty())
        throw Poco::InvalidArgumentException("empty salt");
    Poco::Crypto::CipherKey key(kCipherName, cipherPassphrase(salt), salt, kIterations);
    return Poco::AutoPtr<Poco::Crypto::Cipher>(Poco::Crypto::CipherFactory::defaultFactory().createCipher(key));
}

} // namespace

std::string cipherPassphrase(const std::string& salt) {
    return Poco::UUIDGenerator::defaultGenerator().createFromName(Poco::UUID::uri(), salt).toString();
}

std::string encryptAES(const std::string& text, const std::string& salt) {
    try {
        return cipherFor(salt)->encryptString(text, Poco::Crypto::Cipher::ENC_BASE64);
    } catch (...) {
        return std::string();
    }
}

std::string decryptAES(const std::string& base64Text, const std::string& salt) {
    try {
        return cipherFor(salt)->decryptString(base64Text, Poco::Crypto::Cipher::ENC_BASE64);
    } catch (...) {
        return std::string();
    }
}

} // namespace Sync
} // namespace Nuvaro
