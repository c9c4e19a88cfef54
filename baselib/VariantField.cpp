#include "VariantField.h"

#include <Poco/NumberParser.h>
#include <Poco/String.h>

namespace Nuvaro {
namespace Data {

VariantField::VariantField() : m_type(EMPTY), m_signed(0), m_unsigned(0) {}
VariantField::VariantField(const std::string& value) : m_type(STRING), m_text(value), m_signed(0), m_unsigned(0) {}
VariantField::VariantField(const char* value)
    : m_type(STRING), m_text(value != nullptr ? value : ""), m_signed(0), m_unsigned(0) {}
VariantField::VariantField(bool value) : m_type(BOOL), m_signed(value ? 1 : 0), m_unsigned(0) {}
VariantField::VariantField(int value) : m_type(INT32), m_signed(value), m_unsigned(0) {}
VariantField::VariantField(unsigned int value) : m_type(INT64), m_signed(value), m_unsigned(0) {}
VariantField::VariantField(long value) : m_type(INT64), m_signed(value), m_unsigned(0) {}
VariantField::VariantField(long long value) : m_type(INT64), m_signed(value), m_unsigned(0) {}
VariantField::VariantField(unsigned long value) : m_type(UINT64), m_signed(0), m_unsigned(value) {}
VariantField::VariantField(unsigned long long value) : m_type(UINT64), m_signed(0), m_unsigned(value) {}

std::string VariantField::getString() const {
    switch (m_type) {
    case STRING: return m_text;
    case BOOL: return m_signed != 0 ? "1" : "0";
    case INT32:
    case INT64: return std::to_string(m_signed);
    case UINT64: return std::to_string(m_unsigned);
    case EMPTY:
    default: return std::string();
    }
}

bool VariantField::getBool() const {
    switch (m_type) {
    case STRING: {
        std::string text = Poco::toLower(Poco::trim(m_text));
        return text == "1" || text == "true" || text == "yes" || text == "on";
    }
    case BOOL:
    case INT32:
    case INT64: return m_signed != 0;
    case UINT64: return m_unsigned != 0;
    case EMPTY:
    default: return false;
    }
}

Poco::Int64 VariantField::getInt64() const {
    switch (m_type) {
    case STRING: {
        Poco::Int64 value = 0;
        return Poco::NumberParser::tryParse64(Poco::trim(m_text), value) ? value : 0;
    }
    case BOOL:
    case INT32:
    case INT64: return m_signed;
    case UINT64: return static_cast<Poco::Int64>(m_unsigned);
    case EMPTY:
    default: return 0;
    }
}

int VariantField::getInt() const {
    if (m_type == STRING) {
        int value = 0;
        return Poco::NumberParser::tryParse(Poco::trim(m_text), value) ? value : 0;
    }
    return static_cast<int>(getInt64());
}

Poco::UInt64 VariantField::getUInt64() const {
    switch (m_type) {
    case STRING: {
        Poco::UInt64 value = 0;
        return Poco::NumberParser::tryParseUnsigned64(Poco::trim(m_text), value) ? value : 0;
    }
    case UINT64: return m_unsigned;
    default: return static_cast<Poco::UInt64>(getInt64());
    }
}

bool VariantField::operator==(const VariantField& other) const {
    return m_type == other.m_type && m_text == other.m_text && m_signed == other.m_signed &&
           m_unsigned == other.m_unsigned;
}

} // namespace Data
} // namespace Nuvaro
