#pragma once

#include <string>

namespace Nuvaro {
namespace Sync {

// Makes any text safe as the content of an XML element: "&", "<", ">", the two
// quote characters and control characters become references (TinyXML's
// encoding), every "&" included, even one that starts "&#x"; bytes that are not
// UTF-8 and characters XML cannot carry at all (controls other than tab, line
// feed and carriage return, U+FFFE, U+FFFF) become U+FFFD. The result always
// parses back, as UTF-8, into the text with only those replacements made.
std::string xmlEscapeText(const std::string& text);

} // namespace Sync
} // namespace Nuvaro
