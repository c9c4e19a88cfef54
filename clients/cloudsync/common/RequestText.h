#pragma once

// Texts the sync worker's requests share: how a value goes into a query or
// a form body, how a reply record is read, and the error line of an
// operation's exception boundary. Stateless; any thread.

#include "nuvarocbfs_XmlParser.h"

#include <string>

namespace Nuvaro {
namespace Sync {
namespace RequestText {

// A query or form value: Poco::URI::encode with the reserved set
// Nuvaro::Defs::HTTP::URL_SPECIAL_CHARS, so only letters, digits, "-", "_",
// "." and "~" stay as they are ("/a b&c" -> "%2Fa%20b%26c").
std::string formValue(const std::string& value);

// A status-set text as a form value: encoded as formValue, except that ":"
// and "," (the separators of the status texts) stay as they are. So a status
// of letters, digits, ":" and "," goes out byte for byte as stored, and one
// holding "&", "=", "+" or "%" still reaches the server intact:
// "server:12,peer:3" -> "server:12,peer:3"; "a+b=c&d" -> "a%2Bb%3Dc%26d".
std::string statusFormValue(const std::string& status);

// The value of `key` in the record; "" when absent (the record is not
// changed).
std::string recordValue(const Nuvaro::Record& record, const std::string& key);

// The error line of an operation's exception boundary, for the exception
// being handled (call it only inside a catch block): name + pocoGap +
// "Poco Exception caught : " + display text + " " + message for a
// Poco::Exception; name + otherGap + "Exception caught : " + message for a
// Nuvaro::Exception (or what() of another std::exception); name + otherGap +
// "Unknown Exception caught : " for anything else.
std::string exceptionLine(const std::string& name, const std::string& pocoGap, const std::string& otherGap);
// The same with one gap for all three forms.
std::string exceptionLine(const std::string& name, const std::string& gap);
// The text of the exception being handled (call it only inside a catch
// block): Poco's display text, the message of our own exception class,
// what() of a standard one, "" for anything else.
std::string exceptionText();

} // namespace RequestText
} // namespace Sync
} // namespace Nuvaro
