#pragma once

// A block of bytes of fixed size: the binary form of a variant record
// (VariantRow::write / read) and of a data-sync record (toRawData / fromRawData).
// Zero-filled when made from a size. One thread at a time.

#include <cstddef>
#include <vector>

namespace Nuvaro {
namespace Data {

class RawData {
public:
    explicit RawData(std::size_t size = 0);
    RawData(const void* bytes, std::size_t size);

    std::size_t getSize() const { return m_bytes.size(); }
    unsigned char* getData() { return m_bytes.data(); }
    const unsigned char* getData() const { return m_bytes.data(); }

private:
    std::vector<unsigned char> m_bytes;
};

} // namespace Data
} // namespace Nuvaro
