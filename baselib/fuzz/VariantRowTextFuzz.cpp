// Fuzz target: the XML form of VariantRow (the configuration files), on what
// a damaged or hand-edited file may hold. Reading never throws; a row that
// was read and that write() accepts must read back from what write() stores
// as the same fields, and storing that again gives the same text.

#include "VariantRow.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using Nuvaro::Data::VariantRow;

namespace {

bool sameFields(const VariantRow& a, const VariantRow& b) {
    if (a.getFieldNames() != b.getFieldNames() || a.getRootName() != b.getRootName()) return false;
    for (const std::string& name : a.getFieldNames())
        if (a.getField(name).getString() != b.getField(name).getString()) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    VariantRow row;
    if (!row.parseXml(std::string(reinterpret_cast<const char*>(data), size))) return 0;
    std::string stored;
    if (!row.formatXml(stored)) return 0;

    VariantRow readBack;
    if (!readBack.parseXml(stored) || !sameFields(row, readBack)) std::abort();
    std::string again;
    if (!readBack.formatXml(again) || again != stored) std::abort();
    return 0;
}
