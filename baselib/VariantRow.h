#pragma once

// A record of named values (VariantField), kept in the order the fields were
// first created. It has two stored forms:
//
// Binary form (write(RawData&) / read(const RawData&), used for the raw form of
// data-sync records). All integers little-endian:
//     "NVR1"                      4 bytes, format tag
//     field count                 u32
//     per field:  name length u32, name bytes,
//                 type u8 (VariantField::Type),
//                 value: EMPTY nothing; STRING length u32 + bytes;
//                        BOOL u8; INT32 4 bytes; INT64 / UINT64 8 bytes.
// getSize() is the exact number of bytes write() needs. read() checks every
// length against the data and throws Nuvaro::Exception for data that is cut
// short, has a wrong tag or an unknown type; the row is then unchanged.
//
// XML file form (write(path) / read(path), used for syncconconfig.xml,
// syncclientconfig.xml and editinfo.xml, files people may write by hand):
//     <?xml version="1.0" encoding="UTF-8"?>
//     <config>
//       <url>https://files.example.com</url>
//       <maxthreads>5</maxthreads>
//     </config>
// One child element of the root per field; the element name is the field name
// and its text the value (numbers and booleans as their text, see
// VariantField). Reading is lenient: any root element name (it is kept and
// written back), blanks and line breaks around values are trimmed, comments,
// processing instructions and nested elements are skipped, CDATA sections and
// character references are read as text, and when a field appears twice the
// first one counts. A value whose surrounding blanks matter is written with
// xml:space="preserve", which reading honours. A file that is missing or not
// well-formed XML makes read() return false and leaves the row unchanged.
// write() replaces the file atomically (a temporary file in the same folder,
// flushed to disk, then renamed over the target; the target's permissions are
// kept, a new file is readable by its owner only) and returns false, leaving
// the old file as it was, when a field name is not an XML element name
// (valid UTF-8 of XML's name characters, no ":"), a value is not valid UTF-8
// or holds a control character XML cannot carry, the text would not read
// back as exactly these fields (a name the parser refuses, a name that
// occurs twice, which binary data can hold), or the file system fails. So a
// readable file is never replaced by one that cannot be read back. Fields read from a file are all written back, so fields this program
// does not know survive a rewrite; comments of a hand-written file do not.
//
// getLastError() describes the last failure of read(path) or write(path).
// One thread at a time.

#include "RawData.h"
#include "VariantField.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace Nuvaro {
namespace Data {

class VariantRow {
public:
    VariantRow();

    // The field of that name, created empty at the end of the row when absent.
    VariantField& operator[](const std::string& name);
    bool hasField(const std::string& name) const;
    // The field's value, or an empty field when absent (creates nothing).
    VariantField getField(const std::string& name) const;
    bool removeField(const std::string& name);
    std::vector<std::string> getFieldNames() const;
    std::size_t getFieldCount() const { return m_fields.size(); }
    void clear();

    // Binary form.
    std::size_t getSize() const;
    // Throws Nuvaro::Exception when `out` is smaller than getSize().
    void write(RawData& out) const;
    // Replaces the row's fields; throws Nuvaro::Exception for malformed data.
    void read(const RawData& in);

    // XML file form.
    bool read(const std::string& path);
    bool write(const std::string& path) const;
    // The same form as text: parseXml replaces the row's fields and root name
    // (false, row unchanged, for text that is not well-formed XML);
    // formatXml gives the text write() would store (false, xml untouched,
    // when write() would refuse).
    bool parseXml(const std::string& text);
    bool formatXml(std::string& xml) const;
    const std::string& getLastError() const { return m_lastError; }

    // Name of the root element written by write(path): "config" unless the
    // row was read from a file with another root.
    const std::string& getRootName() const { return m_rootName; }
    void setRootName(const std::string& name) { m_rootName = name; }

private:
    typedef std::vector<std::pair<std::string, VariantField>> Fields;

    Fields m_fields;
    std::string m_rootName;
    mutable std::string m_lastError;
};

} // namespace Data
} // namespace Nuvaro
