// The XML file form of VariantRow: read(path) and write(path). The layout and
// the reading rules are described in VariantRow.h.

#include "VariantRow.h"

#include "NuvaroUtil.h"

#include <utf8proc.h>

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

// XML 1.0's NameStartChar, without ":" (names with a namespace prefix are
// left out): ASCII letters and "_", and the listed ranges of other characters.
bool isNameStart(utf8proc_int32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0xC0 && c <= 0xD6) ||
           (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
           (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

// XML 1.0's NameChar (again without ":").
bool isNameChar(utf8proc_int32_t c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// True when name is valid UTF-8 and an XML element name. (The XML parser may
// still be stricter about some characters; write() reads its own output back
// to be sure.)
bool isElementName(const std::string& name) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(name.size());
    bool first = true;
    while (left > 0) {
        utf8proc_int32_t c = 0;
        utf8proc_ssize_t used = utf8proc_iterate(bytes, left, &c);
        if (used <= 0 || !(first ? isNameStart(c) : isNameChar(c))) return false;
        bytes += used;
        left -= used;
        first = false;
    }
    return !first;
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

// The fields and the root name of an XML text, by the reading rules in
// VariantRow.h; false with the reason in error.
bool parseFields(const std::string& text, std::vector<std::pair<std::string, VariantField>>& fields,
                 std::string& rootName, std::string& error) {
    try {
        Poco::XML::DOMParser parser;
        parser.setFeature(Poco::XML::XMLReader::FEATURE_NAMESPACES, false);
        parser.setFeature(Poco::XML::XMLReader::FEATURE_EXTERNAL_GENERAL_ENTITIES, false);
        parser.setFeature(Poco::XML::XMLReader::FEATURE_EXTERNAL_PARAMETER_ENTITIES, false);
        Poco::AutoPtr<Poco::XML::Document> document = parser.parseString(text);
        Poco::XML::Element* root = document->documentElement();
        if (root == nullptr) {
            error = "no root element";
            return false;
        }
        fields.clear();
        for (Poco::XML::Node* node = root->firstChild(); node != nullptr; node = node->nextSibling()) {
            if (node->nodeType() != Poco::XML::Node::ELEMENT_NODE) continue;
            const std::string& name = node->nodeName();
            bool seen = false;
            for (const auto& field : fields) seen = seen || field.first == name;
            if (seen) continue;  // the first occurrence counts
            auto* element = static_cast<Poco::XML::Element*>(node);
            std::string value = ownText(element);
            if (element->getAttribute("xml:space") != "preserve") value = Util::trim(value);
            fields.emplace_back(name, VariantField(value));
        }
        rootName = root->nodeName();
        return true;
    } catch (const Poco::Exception& e) {
        error = e.displayText();
    } catch (const std::exception& e) {
        error = e.what();
    }
    return false;
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
    if (!parseXml(content.str())) {
        m_lastError = "Cannot parse " + path + ": " + m_lastError;
        return false;
    }
    return true;
}

bool VariantRow::parseXml(const std::string& text) {
    Fields fields;
    std::string rootName;
    if (!parseFields(text, fields, rootName, m_lastError)) return false;
    m_fields.swap(fields);
    m_rootName = rootName;
    m_lastError.clear();
    return true;
}

bool VariantRow::formatXml(std::string& xml) const {
    if (!isElementName(m_rootName)) {
        m_lastError = "Invalid root element name: " + m_rootName;
        return false;
    }
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + m_rootName + ">\n";
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
        text += "  <" + field.first + (keepBlanks ? " xml:space=\"preserve\">" : ">") + escaped + "</" +
                field.first + ">\n";
    }
    text += "</" + m_rootName + ">\n";

    // Only a text that reads back as this row may replace a readable file:
    // the check catches what the name and value rules above let through and
    // the parser refuses, and a field name that occurs twice.
    Fields readBack;
    std::string rootName, error;
    bool same = parseFields(text, readBack, rootName, error) && rootName == m_rootName &&
                readBack.size() == m_fields.size();
    for (std::size_t i = 0; same && i < readBack.size(); ++i)
        same = readBack[i].first == m_fields[i].first &&
               readBack[i].second.getString() == m_fields[i].second.getString();
    if (!same) {
        m_lastError = "The fields would not read back as they are" + (error.empty() ? "" : ": " + error);
        return false;
    }
    xml.swap(text);
    m_lastError.clear();
    return true;
}

bool VariantRow::write(const std::string& path) const {
    std::string xml;
    if (!formatXml(xml)) return false;
    if (!Util::replaceFile(path, xml, m_lastError)) return false;
    m_lastError.clear();
    return true;
}

} // namespace Data
} // namespace Nuvaro
