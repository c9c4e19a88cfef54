#pragma once

// One named value of a VariantRow: empty, a text, a boolean, or a 32-bit,
// 64-bit or unsigned 64-bit integer.
//
// Every getter converts from whatever the field holds, so a value read from an
// XML file (always text) reads back as the number or boolean it spells:
//   - getString: numbers in decimal, booleans as "1" / "0", empty as "".
//   - getInt / getInt64 / getUInt64: text is read as a decimal number after
//     trimming blanks; text that is no number (or is out of range) gives 0;
//     booleans give 1 / 0. Wider integers are cast.
//   - getBool: text "1", "true", "yes" or "on" (any letter case, blanks
//     trimmed) is true, any other text false; numbers are true when non-zero.
// The constructors are implicit, so `row["size"] = bytes;` stores a number.

#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Data {

class VariantField {
public:
    enum Type { EMPTY = 0, STRING = 1, BOOL = 2, INT32 = 3, INT64 = 4, UINT64 = 5 };

    VariantField();
    VariantField(const std::string& value);
    VariantField(const char* value);
    VariantField(bool value);
    VariantField(int value);
    VariantField(unsigned int value);
    VariantField(long value);
    VariantField(long long value);
    VariantField(unsigned long value);
    VariantField(unsigned long long value);

    Type getType() const { return m_type; }
    bool isEmpty() const { return m_type == EMPTY; }

    std::string getString() const;
    bool getBool() const;
    int getInt() const;
    Poco::Int64 getInt64() const;
    Poco::UInt64 getUInt64() const;

    bool operator==(const VariantField& other) const;
    bool operator!=(const VariantField& other) const { return !(*this == other); }

private:
    Type m_type;
    std::string m_text;      // STRING
    Poco::Int64 m_signed;    // BOOL (0/1), INT32, INT64
    Poco::UInt64 m_unsigned; // UINT64
};

} // namespace Data
} // namespace Nuvaro
