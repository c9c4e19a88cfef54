#include "XmlText.h"

#include <tinyxml.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

bool isXmlChar(unsigned long cp) {
    if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    return cp != 0xFFFE && cp != 0xFFFF && cp <= 0x10FFFF;
}

// Length of the well-formed UTF-8 sequence at text[pos] holding a character XML
// allows, or 0.
std::size_t validCharLength(const std::string& text, std::size_t pos) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    std::size_t len;
    unsigned long cp;
    unsigned long minimum;
    if (lead < 0x80) {
        len = 1, cp = lead, minimum = 0;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + len > text.size()) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || !isXmlChar(cp)) return 0; // overlong forms count as broken
    return len;
}

} // namespace

std::string xmlEscapeText(const std::string& text) {
    // First the characters XML cannot carry give way to U+FFFD; TinyXML then
    // encodes the markup characters and the remaining controls.
    std::string repaired;
    repaired.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t len = validCharLength(text, pos);
        if (len == 0) {
            repaired += kReplacement;
            ++pos;
        } else {
            repaired.append(text, pos, len);
            pos += len;
        }
    }
    std::string out;
    TiXmlBase::EncodeString(repaired, &out);
    return out;
}

} // namespace Sync
} // namespace Nuvaro
