#include "RawData.h"

namespace Nuvaro {
namespace Data {

RawData::RawData(std::size_t size) : m_bytes(size, 0) {}

RawData::RawData(const void* bytes, std::size_t size)
    : m_bytes(static_cast<const unsigned char*>(bytes), static_cast<const unsigned char*>(bytes) + size) {}

} // namespace Data
} // namespace Nuvaro
