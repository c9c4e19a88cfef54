#pragma once

// The cipher of the stored account secret (password or device-authorisation
// code). The secret is kept in the sync database only enciphered, under a
// passphrase derived from a random salt that is renewed at every save; the
// salt is stored beside the ciphertext. Stored settings must stay readable by
// every version of the program, so the construction below is fixed:
//
//   passphrase = the name-based (MD5, version 3) UUID of the salt text in the
//                URI namespace, in its 36-character text form
//   key and IV = AES-256-CBC, derived from the passphrase with the salt text
//                as key-derivation salt and 2000 iterations (Poco CipherKey)
//   ciphertext = Base64 text (Poco Crypto's Base64 transport encoding)
//
// Example: the salt "6ba7b811-9dad-11d1-80b4-00c04fd430c8" gives the
// passphrase "60425635-a23f-35cb-9e13-f51da1697cea", and "secret"
// enciphers to "h0hkqwLcSF24PdrNlzQOpA==".
//
// Stateless; any thread.

#include <string>

namespace Nuvaro {
namespace Sync {

// The passphrase derived from a salt (see above).
std::string cipherPassphrase(const std::string& salt);

// The Base64 ciphertext of text under salt; "" on any error and for an empty
// salt.
std::string encryptAES(const std::string& text, const std::string& salt);

// The plain text of base64Text under salt; "" on any error (text that is not
// Base64, a wrong salt that breaks the padding, an empty salt).
std::string decryptAES(const std::string& base64Text, const std::string& salt);

} // namespace Sync
} // namespace Nuvaro
