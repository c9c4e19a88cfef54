#pragma once

// Helpers for the two configuration files beside the program:
// syncconconfig.xml (account, selective sync, job entries; read only) and
// syncclientconfig.xml (folder locations and options; created when missing).
// Both are named-field XML files read through Nuvaro::Data::VariantRow.
// Stateless; any thread.

#include "VariantRow.h"

#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

// How reading a configuration file went.
enum class ConfigFileState {
    Read,       // the row holds the file's fields
    Missing,    // nothing exists at the path: the caller may create the file
    Unreadable  // something exists but cannot be read (permissions, not XML,
                // a folder, a dangling link): the caller must not replace it
};

// Reads the file at path into row. For Unreadable, error says why (the
// reader's text, which names the file).
ConfigFileState readConfigFile(const std::string& path, Nuvaro::Data::VariantRow& row, std::string& error);

// The text of a field, "" when the row has no such field (creates nothing).
std::string configText(const Nuvaro::Data::VariantRow& row, const std::string& name);

// The selective-sync folders of a "limitfolders" value: the pieces between
// "|", empty pieces dropped, nothing trimmed. "|/a||/b|" gives "/a", "/b".
std::vector<std::string> splitLimitFolders(const std::string& text);

// True when the file's group or others may read it (a file holding a clear
// password should not be). False when the file cannot be examined.
bool readableByOthers(const std::string& path);

// Why a server URL cannot be used, or "" when it can: it must parse, have the
// scheme "http" or "https" and name a host.
std::string serverUrlProblem(const std::string& url);

// Why a proxy setting cannot be used, or "" when it can (also when no proxy
// is set): with both a host and a port, the port must be a number from 1 to
// 65535 (the connector's proxy rule, which refuses every request otherwise).
std::string proxyProblem(const std::string& host, const std::string& port);

} // namespace Sync
} // namespace Nuvaro
