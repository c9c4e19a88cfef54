#pragma once

#include <string>

namespace Nuvaro {
namespace Sync {

// Makes any text safe as the content of an XML element. Bytes that are not
// UTF-8 and characters XML cannot carry at all (controls other than tab, line
// feed and carriage return, U+FFFE, U+FFFF) become U+FFFD; TinyXML's encoding
// then turns "&", "<", ">", the two quote characters and the remaining
// controls into references. The result always parses back, as UTF-8, into the
// text with only those replacements made.
std::string xmlEscapeText(const std::string& text);

} // namespace Sync
} // namespace Nuvaro
