#pragma once

// The checks of a server made at the first login: whether it offers the sync
// plugin, and what back-end it runs. Both ask through a logged-in connector,
// on its session (HTTPS for an https server, the settings' proxy, its
// cookies). Any thread, one connector per thread.

#include "nuvarocbfs_Network.h"
#include "nuvarocbfs_XmlParser.h"

#include <string>

namespace Nuvaro {
namespace Sync {

// True when the server's plugin list ("/core/getpluginlaunchlist") holds a
// plugin named "sync". False when it does not, and when the list cannot be
// had (not logged in, a failed request, any exception). The settings are
// those the connector was made from; its proxy rule applies.
bool checkForSyncPlugin(Nuvaro::NuvaroConnector& connector, Nuvaro::RecordList& settings);

// The back-end type ("OS" of the first server status record), or "" when it
// cannot be had.
std::string getBackendOS(Nuvaro::NuvaroConnector& connector);

} // namespace Sync
} // namespace Nuvaro
