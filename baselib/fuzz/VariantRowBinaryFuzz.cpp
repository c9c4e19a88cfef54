// Fuzz target: the binary form of VariantRow (the raw form of stored sync
// records), on damaged data. Reading throws only Nuvaro::Exception and then
// leaves the row as it was; a row that was read writes bytes that read back
// as the same row, and when its XML form is accepted that form reads back as
// the same fields.

#include "NuvaroException.h"
#include "RawData.h"
#include "VariantRow.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using Nuvaro::Data::RawData;
using Nuvaro::Data::VariantRow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const RawData input(data, size);
    VariantRow row;
    row["kept"] = "before";
    try {
        row.read(input);
    } catch (const Nuvaro::Exception&) {
        if (row.getFieldCount() != 1 || row.getField("kept").getString() != "before") std::abort();
        return 0;
    }

    // What the row writes is no longer than what it was read from and reads
    // back as the same fields, of the same types.
    RawData written(row.getSize());
    row.write(written);
    VariantRow again;
    again.read(written);
    if (written.getSize() > size || again.getFieldNames() != row.getFieldNames()) std::abort();
    for (const std::string& name : row.getFieldNames())
        if (!(again.getField(name) == row.getField(name))) std::abort();

    std::string xml;
    if (!row.formatXml(xml)) return 0;
    VariantRow readBack;
    if (!readBack.parseXml(xml) || readBack.getFieldNames() != row.getFieldNames()) std::abort();
    for (const std::string& name : row.getFieldNames())
        if (readBack.getField(name).getString() != row.getField(name).getString()) std::abort();
    return 0;
}
