#include "ConsoleConfig.h"

#include "nuvarocbfs_Defs.h"
#include "nuvarocbfs_Network.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/URI.h>

#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

ConfigFileState readConfigFile(const std::string& path, Nuvaro::Data::VariantRow& row, std::string& error) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return ConfigFileState::Missing;
    if (row.read(path))
        return ConfigFileState::Read;
    error = row.getLastError();
    if (error.empty())
        error = "Cannot read " + path;
    return ConfigFileState::Unreadable;
}

std::string configText(const Nuvaro::Data::VariantRow& row, const std::string& name) {
    return row.hasField(name) ? row.getField(name).getString() : std::string();
}

std::vector<std::string> splitLimitFolders(const std::string& text) {
    std::vector<std::string> folders;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type end = text.find('|', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            folders.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

bool readableByOthers(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return false;
    return (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

std::string serverUrlProblem(const std::string& url) {
    try {
        Poco::URI uri(url);
        if (uri.getScheme() != "http" && uri.getScheme() != "https")
            return "the address must begin with http:// or https://";
        if (uri.getHost().empty())
            return "the address names no server";
        return std::string();
    } catch (const Poco::Exception& e) {
        return e.displayText();
    }
}

// The rule is the connector's own, tried on a session that never connects.
std::string proxyProblem(const std::string& host, const std::string& port) {
    Nuvaro::Record settings(new std::map<std::string, std::string>{{HTTP_PROXY_HOST, host}, {HTTP_PROXY_PORT, port}});
    Poco::Net::HTTPClientSession probe;
    std::string error;
    return applyProxySettings(settings, probe, error) ? std::string() : error;
}

} // namespace Sync
} // namespace Nuvaro
