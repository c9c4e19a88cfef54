// The XML file form of VariantRow: read(path) and write(path). The layout and
// the reading rules are described in VariantRow.h.

#include "VariantRow.h"

#include "NuvaroUtil.h"

#include <Poco/DOM/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/Node.h>
#include <Poco/DOM/NodeList.h>
#include <Poco/Exception.h>
#include <Poco/SAX/XMLReader.h>

#include <fstream>
#include <sstream>

namespace Nuvaro {
namespace Data {

namespace {

// The text of an element's own text and CDATA children, in document order.
std::string ownText(Poco::XML::Node* element) {
    std::string text;
    for (Poco::XML::Node* child = element->firstChild(); child != nullptr; child = child->nextSibling()) {
        unsigned short type = child->nodeType();
        if (type == Poco::XML::Node::TEXT_NODE || type == Poco::XML::Node::CDATA_SECTION_NODE)
            text += child->nodeValue();
    }
    return text;
}

// ASCII letters, "_" and bytes of multi-byte UTF-8 characters may start an
// element name; digits, "-" and "." may follow. ":" is left out (namespaces).
bool isElementName(const std::string& name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
        bool follow = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!start && !(i > 0 && follow)) return false;
    }
    return true;
}

// Escapes a value for element content; false when XML 1.0 cannot carry it.
bool escapeValue(const std::string& value, std::string& out) {
    if (!Util::isValidUtf8(value)) return false;
    out.clear();
    for (char ch : value) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#13;"; break;  // a raw CR would read back as LF
        default:
            if (c < 0x20 && ch != '\t' && ch != '\n') return false;
            out += ch;
        }
    }
    return true;
}

} // namespace

bool VariantRow::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        m_lastError = "Cannot open " + path;
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        m_lastError = "Cannot read " + path;
        return false;
    }
    try {
        Poco::XML::DOMParser parser;
        parser.setFeature(Poco::XML::XMLReader::FEATURE_NAMESPACES, false);
        parser.setFeature(Poco::XML::XMLReader::FEATURE_EXTERNAL_GENERAL_ENTITIES, false);
        parser.setFeature(Poco::XML::XMLReader::FEATURE_EXTERNAL_PARAMETER_ENTITIES, false);
        Poco::AutoPtr<Poco::XML::Document> document = parser.parseString(content.str());
        Poco::XML::Element* root = document->documentElement();
        if (root == nullptr) {
            m_lastError = "No root element in " + path;
            return false;
        }
        Fields fields;
        for (Poco::XML::Node* node = root->firstChild(); node != nullptr; node = node->nextSibling()) {
            if (node->nodeType() != Poco::XML::Node::ELEMENT_NODE) continue;
            const std::string& name = node->nodeName();
            bool seen = false;
            for (const auto& field : fields) seen = seen || field.first == name;
            if (seen) continue;  // the first occurrence counts
            auto* element = static_cast<Poco::XML::Element*>(node);
            std::string text = ownText(element);
            if (element->getAttribute("xml:space") != "preserve") text = Util::trim(text);
            fields.emplace_back(name, VariantField(text));
        }
        m_fields.swap(fields);
        m_rootName = root->nodeName();
        m_lastError.clear();
        return true;
    } catch (const Poco::Exception& e) {
        m_lastError = "Cannot parse " + path + ": " + e.displayText();
    } catch (const std::exception& e) {
        m_lastError = "Cannot parse " + path + ": " + e.what();
    }
    return false;
}

bool VariantRow::write(const std::string& path) const {
    if (!isElementName(m_rootName)) {
        m_lastError = "Invalid root element name: " + m_rootName;
        return false;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + m_rootName + ">\n";
    std::string escaped;
    for (const auto& field : m_fields) {
        if (!isElementName(field.first)) {
            m_lastError = "Invalid field name: " + field.first;
            return false;
        }
        std::string value = field.second.getString();
        if (!escapeValue(value, escaped)) {
            m_lastError = "Field " + field.first + " holds text that XML cannot carry";
            return false;
        }
        bool keepBlanks = !value.empty() && Util::trim(value) != value;
        xml += "  <" + field.first + (keepBlanks ? " xml:space=\"preserve\">" : ">") + escaped + "</" + field.first +
               ">\n";
    }
    xml += "</" + m_rootName + ">\n";
    if (!Util::replaceFile(path, xml, m_lastError)) return false;
    m_lastError.clear();
    return true;
}

} // namespace Data
} // namespace Nuvaro
