#pragma once

// The product strings of this build: the product name shown in console
// messages and the names of the per-user folders. Empty until the console
// entry point calls setProductGlobals() right after its banner; written once
// on the main thread before any other thread exists, read-only afterwards.

#include <string>

namespace Nuvaro {
namespace Sync {
namespace Custom {

// "Vaultpine": the product name in console messages.
extern std::string gProductName;
// "VaultpineSyncData": the per-user data folder under the home folder.
extern std::string gStoreData;
// "Vaultpine": the default sync folder under the home folder.
extern std::string gUserData;
// Where the update descriptor lives; this program never reads it.
extern std::string gUpdateURL;

// Sets the four strings above.
void setProductGlobals();

} // namespace Custom

// The version this program reports (banner, logs, remote management).
extern const char* const CLIENT_VERSION;

} // namespace Sync
} // namespace Nuvaro
