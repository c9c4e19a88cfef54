#include "RequestText.h"

#include "NuvaroException.h"
#include "nuvarocbfs_Defs.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

#include <exception>

namespace Nuvaro {
namespace Sync {
namespace RequestText {

std::string formValue(const std::string& value) {
    std::string out;
    Poco::URI::encode(value, Nuvaro::Defs::HTTP::URL_SPECIAL_CHARS, out);
    return out;
}

std::string statusFormValue(const std::string& status) {
    std::string out;
    std::string::size_type start = 0;
    while (true) {
        std::string::size_type separator = status.find_first_of(":,", start);
        out += formValue(status.substr(start, separator - start));
        if (separator == std::string::npos)
            return out;
        out += status[separator];
        start = separator + 1;
    }
}

std::string recordValue(const Nuvaro::Record& record, const std::string& key) {
    if (!record)
        return std::string();
    auto found = record->find(key);
    return found == record->end() ? std::string() : found->second;
}

std::string exceptionLine(const std::string& name, const std::string& pocoGap, const std::string& otherGap) {
    try {
        throw;
    } catch (const Poco::Exception& e) {
        return name + pocoGap + "Poco Exception caught : " + e.displayText() + " " + e.message();
    } catch (const Nuvaro::Exception& e) {
        return name + otherGap + "Exception caught : " + e.message();
    } catch (const std::exception& e) {
        return name + otherGap + "Exception caught : " + e.what();
    } catch (...) {
        return name + otherGap + "Unknown Exception caught : ";
    }
}

std::string exceptionLine(const std::string& name, const std::string& gap) {
    return exceptionLine(name, gap, gap);
}

std::string exceptionText() {
    try {
        throw;
    } catch (const Poco::Exception& e) {
        return e.displayText();
    } catch (const Nuvaro::Exception& e) {
        return e.message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return std::string();
    }
}

} // namespace RequestText
} // namespace Sync
} // namespace Nuvaro
