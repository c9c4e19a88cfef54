// The two readers of a server sync record: fromSAXRecord (a record of the
// reply parser, used by the sync delta) and fromXMLRecord (one DOM element).

#include "FSSyncRecord.h"

#include "CloudPath.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/NumberParser.h>

#include <tinyxml.h>

#include <functional>

namespace Nuvaro {
namespace Sync {

namespace {

// Gives the text of one field of a server record; false when the field is
// absent (the SAX reader never reports absence: a missing key reads as "").
typedef std::function<bool(const char* key, std::string& text)> FieldReader;

// Steps shared by both readers: identity, versions, peers, deleted flag and
// type, in this order. A bad or absent field is traced on "Sync" as `who`, the
// failure text and the identity, and ends the read with false. A text that is
// no UUID throws Poco::SyntaxException.
bool readIdentityAndVersions(FSSyncRecord& record, const std::string& who, const FieldReader& field) {
    Poco::Logger& log = Poco::Logger::get("Sync");
    std::string text;
    if (!field("id", text)) {
        log.trace(who + "Bad ID");
        return false;
    }
    record.setId(Poco::UUID(text));
    const std::string id = record.getId().toString();
    auto fail = [&](const char* what) {
        log.trace(who + what + id);
        return false;
    };

    Poco::Int64 version = 0;
    if (!field("updateversion", text) || !Poco::NumberParser::tryParse64(text, version, ','))
        return fail("Bad Update Version for ID ");
    record.setUpdatedVersion(version);
    if (!field("updatepeer", text))
        return fail("Bad Update Peer for ID ");
    record.setUpdatedPeer(text);

    if (!field("createversion", text) || !Poco::NumberParser::tryParse64(text, version, ','))
        return fail("Bad Create Version for ID ");
    record.setCreatedVersion(version);
    if (!field("createpeer", text))
        return fail("Bad Create Peer for ID ");
    record.setCreatedPeer(text);

    int number = 0;
    if (!field("isdeleted", text) || !Poco::NumberParser::tryParse(text, number, ','))
        return fail("Bad isDeleted for ID ");
    record.setDeleted(number);
    if (!field("type", text) || !Poco::NumberParser::tryParse(text, number, ','))
        return fail("Bad type for ID ");
    record.setType(number);
    return true;
}

// The UTC time value of a sortable UTC text ("2017-05-16 12:34:56"), kept to
// whole microseconds. Throws Poco::SyntaxException for any other text: the
// parser alone would read "yesterday" as the year 0, so the text must also be
// exactly what the parsed time formats back to.
Poco::Int64 parseSortableUTC(const std::string& text) {
    int tzd = 0;
    Poco::DateTime parsed = Poco::DateTimeParser::parse(Poco::DateTimeFormat::SORTABLE_FORMAT, text, tzd);
    if (Poco::DateTimeFormatter::format(parsed, Poco::DateTimeFormat::SORTABLE_FORMAT) != text)
        throw Poco::SyntaxException("Not a sortable date", text);
    return parsed.timestamp().utcTime();
}

} // namespace

bool FSSyncRecord::fromSAXRecord(const std::string& profile, const std::string& syncFolder, Record& record,
                                 const std::string& networkFolderName, const std::string& teamFolderName,
                                 const std::string& teamFolderAccount) {
    static const std::string who = "fromSAXRecord";
    Poco::Logger& log = Poco::Logger::get("Sync");
    try {
        if (!record)
            throw Poco::NullPointerException("no record");
        auto value = [&](const char* key) -> std::string& { return (*record)[key]; };
        auto toLocal = [&](const std::string& serverPath) {
            return CloudPath::convertToNativePath(CloudPath::translateToLocalPath(
                profile, serverPath, networkFolderName, teamFolderName, teamFolderAccount, false));
        };

        m_syncFolderPath = syncFolder;
        FieldReader field = [&](const char* key, std::string& text) {
            text = value(key);
            return true;
        };
        if (!readIdentityAndVersions(*this, who, field))
            return false;

        m_flags = value("flags");
        m_name = value("name");
        if (m_flags == "SKIP") {
            m_parent = m_localParent = m_fullPath = m_localFullPath = "SKIP";
        } else {
            const std::string parent = value("parent");
            const std::string fullPath = value("fullpath");
            m_parent = parent == "/" ? "" : CloudPath::convertToNativePath(parent);
            m_localParent = toLocal(parent);
            m_fullPath = CloudPath::convertToNativePath(fullPath);
            m_localFullPath = toLocal(fullPath);
            if (m_localFullPath.empty()) {
                log.error(who + " Empty Local Full Path trying to translate: " + fullPath + " with profile " +
                          profile);
                return false;
            }
            // Only the server root has no local parent; any other parent that
            // maps nowhere is outside the sync folder or not a plain path.
            if (m_localParent.empty() && !parent.empty() && parent != "/") {
                log.error(who + " Empty Local Parent trying to translate: " + parent + " with profile " + profile);
                return false;
            }
        }

        if (!Poco::NumberParser::tryParse64(value("size"), m_size, ',')) {
            log.trace(who + " Bad size for ID " + getId().toString());
            return false;
        }
        if (m_type == 1)
            m_modified = parseSortableUTC(value("modified"));
        m_attribs = value("attribs");
        m_friendlyName = value("friendly");
        return true;
    } catch (const Poco::Exception& e) {
        log.error(who + " Poco Exception caught : " + e.displayText() + " " + e.message());
    } catch (...) {
        log.error(who + " Exception caught processing record");
    }
    return false;
}

bool FSSyncRecord::fromXMLRecord(const std::string& profile, const std::string& syncFolder, TiXmlElement* element,
                                 const std::string& networkFolderName, const std::string& teamFolderName,
                                 const std::string& teamFolderAccount) {
    static const std::string who = "fromXMLRecord";
    Poco::Logger& log = Poco::Logger::get("Sync");
    FieldReader field = [element](const char* key, std::string& text) {
        const TiXmlElement* child = element ? element->FirstChildElement(key) : nullptr;
        if (!child || !child->GetText())
            return false;
        text = child->GetText();
        return true;
    };
    auto toLocal = [&](const std::string& serverPath) {
        return CloudPath::convertToNativePath(CloudPath::translateToLocalPath(
            profile, serverPath, networkFolderName, teamFolderName, teamFolderAccount, true));
    };

    m_syncFolderPath = syncFolder;
    if (!readIdentityAndVersions(*this, who, field))
        return false;
    const std::string id = getId().toString();
    std::string text;

    if (field("flags", text))
        m_flags = text;
    if (!field("name", text)) {
        log.trace(who + "Bad name for ID " + id);
        return false;
    }
    m_name = text;

    std::string parent;
    if (field("parent", parent))
        m_parent = parent == "/" ? "" : CloudPath::convertToNativePath(parent);
    m_localParent = toLocal(parent);

    if (!field("fullpath", text)) {
        log.trace(who + "Bad fullpath for ID " + id);
        return false;
    }
    m_fullPath = CloudPath::convertToNativePath(text);
    m_localFullPath = toLocal(text);

    if (field("size", text) && !Poco::NumberParser::tryParse64(text, m_size, ',')) {
        log.trace(who + "Bad size for ID " + id);
        return false;
    }
    if (field("modified", text))
        m_modified = parseSortableUTC(text);
    if (field("attribs", text))
        m_attribs = text;
    if (field("friendly", text))
        m_friendlyName = text;
    return true;
}

} // namespace Sync
} // namespace Nuvaro
