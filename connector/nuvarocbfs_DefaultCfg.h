#pragma once

// Per-user deployment defaults kept in an XML property list, and the current
// user's name and home folder.
//
// Only platform 1 reads the property list
// (<home>/Library/Preferences/com.quillcrag.vaultpine.defaultcfg.plist). The
// constructor sets platform 2, so in this program the map stays empty and every
// lookup yields "". A caller (a test) may set platform 1 and call init() again.

#include "nuvarocbfs_SaxBase.h"

#include <map>
#include <string>
#include <vector>

namespace Nuvaro {

class NuvaroDefaultCfg {
public:
    NuvaroDefaultCfg();
    virtual ~NuvaroDefaultCfg();

    // Reads the property list when the platform is 1; otherwise does nothing.
    // Read failures are silent: entries read before a failure stay.
    void init();

    // The value stored under key, or "".
    std::string getString(const std::string& key);
    // getString(key) with every "${USER}" replaced by the user name, then every
    // "${HOME}" by the home folder. The user name (and the home folder) are
    // looked up only when the value holds the placeholder.
    std::string getExpandedString(const std::string& key);
    // Appends every key, in sorted order, to keys (keys is not cleared).
    void getAllKeys(std::vector<std::string>& keys);

    int platform = 2;

protected:
    std::map<std::string, std::string> values;
};

// The current user's name: $USER, or, when USER is unset, the name of the
// process's user from the account database; "" when neither is known.
std::string getCurrentUserName();
// The user's home folder without its trailing "/" (a home of "/" gives "").
std::string getCurrentHomePath();
// The property list's full path under the given home folder.
std::string getDefaultCfgPath(const std::string& homePath);

// SAX handler that turns a property list into key/string pairs. A "key"
// element names the next value; a "string" element stores its trimmed text
// under the current key (an existing key keeps its first value). Integer,
// boolean, date and data values are never stored, and the current key is not
// cleared after a string, so a second string before the next key is offered
// under the same key and ignored.
class PLISTHandler : public SaxHandlerBase {
public:
    explicit PLISTHandler(std::map<std::string, std::string>& target);
    ~PLISTHandler() override;

    void getAncestors();
    void where(const std::string& text);
    void printParsedData();

    void startElement(const Poco::XML::XMLString& uri, const Poco::XML::XMLString& localName,
                      const Poco::XML::XMLString& qname, const Poco::XML::Attributes& attributes) override;
    void endElement(const Poco::XML::XMLString& uri, const Poco::XML::XMLString& localName,
                    const Poco::XML::XMLString& qname) override;
    void characters(const Poco::XML::XMLChar ch[], int start, int length) override;

private:
    std::string m_currentText;
    std::string m_currentKey;
    std::map<std::string, std::string>& m_target;
};

} // namespace Nuvaro
