#include "ProductGlobals.h"

namespace Nuvaro {
namespace Sync {

const char* const CLIENT_VERSION = "15.90.0.35620";

namespace Custom {

std::string gProductName;
std::string gStoreData;
std::string gUserData;
std::string gUpdateURL;

void setProductGlobals() {
    gProductName = "Vaultpine";
    gStoreData = "VaultpineSyncData";
    gUserData = "Vaultpine";
    gUpdateURL = "http://updates.vaultpine.example/nuvarocloudsync/live/filesyncversion.xml";
}

} // namespace Custom
} // namespace Sync
} // namespace Nuvaro
