#include "FSActivity.h"
#include "XmlText.h"

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/Timespan.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace Nuvaro::Sync;

// ---- FSActivity ---------------------------------------------------------

TEST(FSActivityEntry, NewEntryIsDatedNowAndNotStored) {
    const Poco::DateTime before;
    FSActivity e(FSActivity::LevelNormal, FSActivity::TypeUpload, "msg", "/a/b", "Local File");
    EXPECT_EQ(e.itemId, 0);
    EXPECT_EQ(e.type, FSActivity::TypeUpload);
    EXPECT_EQ(e.friendlyName, "Local File");
    EXPECT_LE(std::abs((e.date - before).totalSeconds()), 5);
}

TEST(FSActivityEntry, RowEntryKeepsTheStoredUtcDate) {
    FSActivity e(42, FSActivity::LevelNormal, FSActivity::TypeDelete, "m", "/p", "2024-02-29 23:59:58", "who");
    EXPECT_EQ(e.itemId, 42);
    EXPECT_EQ(e.dateText(), "2024-02-29 23:59:58");
    EXPECT_EQ(e.date.hour(), 23);
}

TEST(FSActivityEntry, RowEntryRefusesDatesNotInTheSortableForm) {
    // The date parser alone reads "garbage" as 0000-01-01 without complaint.
    for (const char* bad : {"garbage", "", "2024-13-01 00:00:00", "2024-02-30 10:00:00", "2024-01-02",
                            "2024-01-02T03:04:05", "2024-01-02 03:04:05+02:00", " 2024-01-02 03:04:05"}) {
        EXPECT_THROW(FSActivity(1, FSActivity::LevelNormal, FSActivity::TypeError, "m", "/p", bad, "w"),
                     Poco::SyntaxException)
            << bad;
    }
}

// ---- XML text escaping --------------------------------------------------

TEST(XmlEscapeText, EscapesEveryMarkupCharacterAndRepairsWhatXmlCannotCarry) {
    // `back` is what the escaped text reads back as inside an element.
    struct Case {
        std::string in, out, back;
    } cases[] = {
        {"plain text / 1.txt", "plain text / 1.txt", "plain text / 1.txt"},
        {"a & b", "a &amp; b", "a & b"},
        {"<x> \"q\" 'a'", "&lt;x&gt; &quot;q&quot; &apos;a&apos;", "<x> \"q\" 'a'"},
        // Some TinyXML releases copied "&#x..." through up to the next ";".
        {"&#x41;", "&amp;#x41;", "&#x41;"},
        {"&#x<b>", "&amp;#x&lt;b&gt;", "&#x<b>"},
        {"tab\there", "tab&#x09;here", "tab\there"},
        {"bell\x07", "bell\xEF\xBF\xBD", "bell\xEF\xBF\xBD"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"latin1 \xE9!", "latin1 \xEF\xBF\xBD!", "latin1 \xEF\xBF\xBD!"},
        {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
        {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(xmlEscapeText(c.in), c.out) << c.in;
        // And the result reads back as element content.
        Poco::XML::DOMParser parser;
        Poco::AutoPtr<Poco::XML::Document> doc;
        ASSERT_NO_THROW(doc = parser.parseString("<m>" + xmlEscapeText(c.in) + "</m>")) << c.in;
        EXPECT_EQ(doc->documentElement()->innerText(), c.back) << c.in;
    }
}
