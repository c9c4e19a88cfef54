#include "nuvarocbfs_DefaultCfg.h"

#include <Poco/Environment.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/String.h>

#include <fstream>
#include <pwd.h>
#include <unistd.h>

namespace Nuvaro {

namespace {

const std::string PLIST_FILE_NAME = "com.quillcrag.vaultpine.defaultcfg.plist";

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
    std::string::size_type pos = 0;
    while ((pos = text.find(what, pos)) != std::string::npos) {
        text.replace(pos, what.size(), with);
        pos += with.size();
    }
}

} // namespace

std::string getCurrentUserName() {
    if (Poco::Environment::has("USER")) return Poco::Environment::get("USER");
    struct passwd pwd;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(geteuid(), &pwd, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return "";
}

std::string getCurrentHomePath() {
    std::string home = Poco::Path::home();
    if (!home.empty() && home.back() == '/') home.pop_back();
    return home;
}

std::string getDefaultCfgPath(const std::string& homePath) {
    return homePath + "/" + "Library" + "/" + "Preferences" + "/" + PLIST_FILE_NAME;
}

NuvaroDefaultCfg::NuvaroDefaultCfg() { init(); }

NuvaroDefaultCfg::~NuvaroDefaultCfg() = default;

void NuvaroDefaultCfg::init() {
    if (platform != 1) return;
    try {
        PLISTHandler handler(values);
        const std::string path = getDefaultCfgPath(getCurrentHomePath());
        if (Poco::File(path).exists()) {
            std::ifstream in(path.c_str(), std::ios::binary);
            runSaxParse(handler, in);
        }
    } catch (...) {
        // A damaged or unreadable property list leaves whatever was read.
    }
}

std::string NuvaroDefaultCfg::getString(const std::string& key) {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

std::string NuvaroDefaultCfg::getExpandedString(const std::string& key) {
    std::string value = getString(key);
    if (value.find("${USER}") != std::string::npos) replaceAll(value, "${USER}", getCurrentUserName());
    if (value.find("${HOME}") != std::string::npos) replaceAll(value, "${HOME}", getCurrentHomePath());
    return value;
}

void NuvaroDefaultCfg::getAllKeys(std::vector<std::string>& keys) {
    for (const auto& kv : values) keys.push_back(kv.first);
}

PLISTHandler::PLISTHandler(std::map<std::string, std::string>& target) : m_target(target) {}
PLISTHandler::~PLISTHandler() = default;

void PLISTHandler::getAncestors() {}
void PLISTHandler::where(const std::string&) {}
void PLISTHandler::printParsedData() {}

void PLISTHandler::startElement(const Poco::XML::XMLString&, const Poco::XML::XMLString& localName,
                                const Poco::XML::XMLString&, const Poco::XML::Attributes&) {
    if (localName == "key") m_currentKey.clear();
}

void PLISTHandler::endElement(const Poco::XML::XMLString&, const Poco::XML::XMLString& localName,
                              const Poco::XML::XMLString&) {
    const std::string text = Poco::trim(m_currentText);
    if (localName == "key") {
        m_currentKey = text;
    } else if (localName == "string") {
        if (!m_currentKey.empty()) m_target.insert(std::make_pair(m_currentKey, text));
    }
    m_currentText.clear();
}

void PLISTHandler::characters(const Poco::XML::XMLChar ch[], int start, int length) {
    m_currentText.append(ch + start, static_cast<std::size_t>(length));
}


} // namespace Nuvaro
