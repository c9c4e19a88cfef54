#include "VariantRow.h"

#include "NuvaroException.h"

#include <cstring>

namespace Nuvaro {
namespace Data {

namespace {

const char kBinaryTag[4] = {'N', 'V', 'R', '1'};

// Appends little-endian integers and byte strings to a buffer of known size.
class Writer {
public:
    explicit Writer(unsigned char* out) : m_out(out) {}
    void bytes(const void* data, std::size_t n) {
        if (n > 0) std::memcpy(m_out + m_pos, data, n);
        m_pos += n;
    }
    void u8(unsigned v) { m_out[m_pos++] = static_cast<unsigned char>(v); }
    void u32(Poco::UInt32 v) { little(v, 4); }
    void u64(Poco::UInt64 v) { little(v, 8); }
    void text(const std::string& s) {
        u32(static_cast<Poco::UInt32>(s.size()));
        bytes(s.data(), s.size());
    }

private:
    void little(Poco::UInt64 v, int n) {
        for (int i = 0; i < n; ++i) m_out[m_pos++] = static_cast<unsigned char>(v >> (8 * i));
    }
    unsigned char* m_out;
    std::size_t m_pos = 0;
};

// Reads what Writer wrote, checking every length against the data.
class Reader {
public:
    Reader(const unsigned char* in, std::size_t size) : m_in(in), m_size(size) {}
    void need(std::size_t n) const {
        if (n > m_size - m_pos) throw Nuvaro::Exception("Variant row data is cut short");
    }
    const unsigned char* bytes(std::size_t n) {
        need(n);
        const unsigned char* p = m_in + m_pos;
        m_pos += n;
        return p;
    }
    unsigned u8() { return *bytes(1); }
    Poco::UInt32 u32() { return static_cast<Poco::UInt32>(little(4)); }
    Poco::UInt64 u64() { return little(8); }
    std::string text() {
        Poco::UInt32 n = u32();
        const unsigned char* p = bytes(n);
        return std::string(reinterpret_cast<const char*>(p), n);
    }

private:
    Poco::UInt64 little(int n) {
        const unsigned char* p = bytes(static_cast<std::size_t>(n));
        Poco::UInt64 v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<Poco::UInt64>(p[i]) << (8 * i);
        return v;
    }
    const unsigned char* m_in;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

std::size_t valueSize(const VariantField& field) {
    switch (field.getType()) {
    case VariantField::STRING: return 4 + field.getString().size();
    case VariantField::BOOL: return 1;
    case VariantField::INT32: return 4;
    case VariantField::INT64:
    case VariantField::UINT64: return 8;
    case VariantField::EMPTY:
    default: return 0;
    }
}

} // namespace

VariantRow::VariantRow() : m_rootName("config") {}

VariantField& VariantRow::operator[](const std::string& name) {
    for (auto& field : m_fields)
        if (field.first == name) return field.second;
    m_fields.emplace_back(name, VariantField());
    return m_fields.back().second;
}

bool VariantRow::hasField(const std::string& name) const {
    for (const auto& field : m_fields)
        if (field.first == name) return true;
    return false;
}

VariantField VariantRow::getField(const std::string& name) const {
    for (const auto& field : m_fields)
        if (field.first == name) return field.second;
    return VariantField();
}

bool VariantRow::removeField(const std::string& name) {
    for (auto it = m_fields.begin(); it != m_fields.end(); ++it) {
        if (it->first == name) {
            m_fields.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> VariantRow::getFieldNames() const {
    std::vector<std::string> names;
    for (const auto& field : m_fields) names.push_back(field.first);
    return names;
}

void VariantRow::clear() { m_fields.clear(); }

std::size_t VariantRow::getSize() const {
    std::size_t size = sizeof(kBinaryTag) + 4;
    for (const auto& field : m_fields) size += 4 + field.first.size() + 1 + valueSize(field.second);
    return size;
}

void VariantRow::write(RawData& out) const {
    if (out.getSize() < getSize()) throw Nuvaro::Exception("Raw data too small for the variant row");
    Writer w(out.getData());
    w.bytes(kBinaryTag, sizeof(kBinaryTag));
    w.u32(static_cast<Poco::UInt32>(m_fields.size()));
    for (const auto& field : m_fields) {
        const VariantField& value = field.second;
        w.text(field.first);
        w.u8(static_cast<unsigned>(value.getType()));
        switch (value.getType()) {
        case VariantField::STRING: w.text(value.getString()); break;
        case VariantField::BOOL: w.u8(value.getBool() ? 1 : 0); break;
        case VariantField::INT32: w.u32(static_cast<Poco::UInt32>(value.getInt())); break;
        case VariantField::INT64: w.u64(static_cast<Poco::UInt64>(value.getInt64())); break;
        case VariantField::UINT64: w.u64(value.getUInt64()); break;
        case VariantField::EMPTY: break;
        }
    }
}

void VariantRow::read(const RawData& in) {
    Reader r(in.getData(), in.getSize());
    if (std::memcmp(r.bytes(sizeof(kBinaryTag)), kBinaryTag, sizeof(kBinaryTag)) != 0)
        throw Nuvaro::Exception("Raw data is not a variant row");
    Poco::UInt32 count = r.u32();
    Fields fields;
    for (Poco::UInt32 i = 0; i < count; ++i) {
        std::string name = r.text();
        VariantField value;
        switch (r.u8()) {
        case VariantField::EMPTY: break;
        case VariantField::STRING: value = VariantField(r.text()); break;
        case VariantField::BOOL: value = VariantField(r.u8() != 0); break;
        case VariantField::INT32: value = VariantField(static_cast<int>(static_cast<Poco::Int32>(r.u32()))); break;
        case VariantField::INT64: value = VariantField(static_cast<long long>(r.u64())); break;
        case VariantField::UINT64: value = VariantField(static_cast<unsigned long long>(r.u64())); break;
        default: throw Nuvaro::Exception("Unknown field type in variant row data");
        }
        fields.emplace_back(std::move(name), value);
    }
    m_fields.swap(fields);
}

} // namespace Data
} // namespace Nuvaro
