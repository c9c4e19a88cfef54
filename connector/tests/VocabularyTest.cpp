#include "nuvarocbfs_Defs.h"

#include <Poco/URI.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace Nuvaro;

// The texts that requests, reply parsing and settings depend on. A typo here
// breaks the wire format silently, so each one is pinned.
TEST(Vocabulary, TextsOnTheWire) {
    const std::vector<std::pair<const std::string*, const char*>> table = {
        {&NUVARO_LOGINGUEST_COMMAND, "/core/loginguest"},
        {&NUVARO_2FALOGIN_COMMAND, "/core/2falogin"},
        {&NUVARO_REQUEST_DEVICE_ACCESS_COMMAND, "/core/requestdeviceaccess"},
        {&NUVARO_AUTHENTICATEPROFILE_COMMAND, "/core/authenticateprofile"},
        {&NUVARO_LOGINPROFILE_COMMAND, "/core/loginprofile"},
        {&NUVARO_GETAUTHENTICATIONINFO_COMMAND, "/core/getauthenticationinfo"},
        {&NUVARO_GETSYSTEMSTATUS_COMMAND, "/core/getsystemstatus?nousage=0"},
        {&NUVARO_GETPLUGINLAUNCHLIST_COMMAND, "/core/getpluginlaunchlist"},
        {&NUVARO_FILEINFO_COMMAND, "/core/fileinfo"},
        {&NUVARO_GETACCESSDETAILSFORPATH_COMMAND, "/core/getaccessdetailsforpath"},
        {&NUVARO_GETALLFAVORITELISTS_COMMAND, "/core/getallfavoritelists"},
        {&NUVARO_GETFAVORITESINLIST_COMMAND, "/core/getfavoritesinlist"},
        {&NUVARO_GETFILELIST_COMMAND, "/core/getfilelist"},
        {&NUVARO_DOWNLOADFILE_COMMAND, "/core/downloadfile"},
        {&NUVARO_UPLOADFILE_COMMAND, "/upload?appname="},
        {&NUVARO_PATHEXISTS_COMMAND, "/app/explorer/fileexists"},
        {&NUVARO_CREATEFOLDER_COMMAND, "/app/explorer/createfolder"},
        {&NUVARO_DELETE_COMMAND, "/app/explorer/deletefile"},
        {&NUVARO_RENAME_FILE_COMMAND, "/app/explorer/renamefile"},
        {&NUVARO_COPYFILE_COMMAND, "/app/explorer/copyfile"},
        {&NUVARO_RENAME_COMMAND, "/app/explorer/renameormove"},
        {&NUVARO_GET_RMC_COMMANDS, "/core/getrmccommands"},
        {&NUVARO_ACK_RMC_COMMANDS, "/core/ackrmccommands"},
        {&NUVARO_LOCK_FILE_COMMAND, "/core/lock"},
        {&NUVARO_UNLOCK_FILE_COMMAND, "/core/unlock"},
        {&NUVARO_QUICKSHARE, "/app/bramblelink/quickshare"},
        {&COMMAND_RECORD, "command"},
        {&ENTRY_RECORD, "entry"},
        {&STATUS_RECORD, "status"},
        {&PLUGIN_RECORD, "plugin"},
        {&AUTHENTICATIONINFO_RECORD, "info"},
        {&RMC_COMMAND_RECORD, "rmc_command"},
        {&QUICKSHARE_RECORD, "share"},
        {&PERMISSION_RECORD, "permission"},
        {&FAVORITELIST_RECORD, "favoritelist"},
        {&FAVORITEENTRY_RECORD, "entry"},
        {&SYNC_RECORD, "record"},
        {&RESULT_KEY, "result"},
        {&MESSAGE_KEY, "message"},
        {&SUCCESS_VALUE, "1"},
        {&REMOTE_LOGIN_REQ_VALUE, "2"},
        {&TWO_FA_LOGIN_REQ_VALUE, "3"},
        {&DEV_AUTH_SESSION_TIMEOUT_VALUE, "10"},
        {&DEV_AUTH_INVALID_VALUE, "0"},
        {&DEVAUTH_USER_APPROVAL_REQ_VALUE, "1"},
        {&DEVAUTH_ADMIN_APPROVAL_REQ_VALUE, "2"},
        {&RMC_COMMAND_RID_KEY, "rid"},
        {&RMC_COMMAND_ID_KEY, "remote_command_id"},
        {&RMC_DISPLAY_MESSAGE_KEY, "10000"},
        {&RMC_WIPE_AND_ABORT_LOGIN_KEY, "10001"},
        {&RMC_LOGIN_BLOCKED_KEY, "10002"},
        {&RMC_MOBILE_HIDEOPENWITH_KEY, "10008"},
        {&URL_KEY, "url"},
        {&PROFILE_KEY, "profile"},
        {&PASSWORD_KEY, "password"},
        {&LOGINMODE_KEY, "loginmode"},
        {&DEV_AUTH_CODE_KEY, "devauthcode"},
        {&SHA1_PASSWORD_KEY, "sha1password"},
        {&REMOTEANS_KEY, "remoteans"},
        {&HTTP_PROXY_HOST, "httpproxyhost"},
        {&HTTP_PROXY_PORT, "httpproxyport"},
        {&HTTP_PROXY_USER, "httpproxyuser"},
        {&HTTP_PROXY_PASSWORD, "httpproxypassword"},
        {&RMC_CLIENT_ID, "RMC_CLIENT_ID"},
        {&RMC_CLIENT_DISP_NAME, "RMC_CLIENT_DISP_NAME"},
        {&RMC_CLIENT_APP_VERSION, "RMC_CLIENT_APP_VERSION"},
        {&RMC_CLIENT_OS_TYPE, "RMC_CLIENT_OS_TYPE"},
        {&RMC_CLIENT_OS_VERSION, "RMC_CLIENT_OS_VERSION"},
        {&RMC_LEVEL_KEY, "rmclevel"},
        {&DISABLE_MYFILES_KEY, "disablemyfiles"},
        {&NETWORKFOLDER_NAME_KEY, "networkfoldername"},
        {&TEAMFOLDER_NAME_KEY, "teamfoldername"},
        {&TEAMFOLDER_ACCOUNT_KEY, "teamfolderaccount"},
        {&UPLOAD_RESTRICTIONS, "uploadrestrictions"},
        {&DISABLEDOTDOT, "disabledotdot"},
        {&NUVARO_CLOUD_VALUE, "NUVARO_CLOUD"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(*row.first, row.second);
    }
}

TEST(Vocabulary, ReservedSetHasTwentyCharactersAndOneBackslash) {
    EXPECT_EQ(URL_SPECIAL_CHARS, "#:?/\\$@!^&*()-;'><=+");
    EXPECT_EQ(URL_SPECIAL_CHARS.size(), 20u);
    EXPECT_EQ(std::count(URL_SPECIAL_CHARS.begin(), URL_SPECIAL_CHARS.end(), '\\'), 1);
    EXPECT_EQ(Defs::HTTP::URL_SPECIAL_CHARS, URL_SPECIAL_CHARS);
}

// Values are encoded with Poco::URI::encode and the reserved set. The bytes the
// server must see are pinned; Poco may encode a few more characters (",", "[",
// "]"), which the server decodes, so other values are compared decoded.
TEST(Vocabulary, EncodingWithTheReservedSet) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case exact[] = {
        {"a b", "a%20b"},
        {"/My Files/x", "%2FMy%20Files%2Fx"},
        {"12:34", "12%3A34"},
        {"a-b_c.d~e", "a-b_c.d~e"},
        {"user+tag@example.com", "user%2Btag%40example.com"},
        {"k=v&x", "k%3Dv%26x"},
        {"#?\\$!^*();'<>", "%23%3F%5C%24%21%5E%2A%28%29%3B%27%3C%3E"},
        {"\xC3\xA9", "%C3%A9"},
        {"", ""},
    };
    for (const auto& c : exact) {
        std::string encoded;
        Poco::URI::encode(c.in, URL_SPECIAL_CHARS, encoded);
        EXPECT_EQ(encoded, c.out) << "input: " << c.in;
        std::string decoded;
        Poco::URI::decode(encoded, decoded);
        EXPECT_EQ(decoded, c.in);
    }
    for (const char* in : {"a,b", "[x]", "50% off", "tab\there", "quote\"s"}) {
        std::string encoded, decoded;
        Poco::URI::encode(in, URL_SPECIAL_CHARS, encoded);
        EXPECT_EQ(encoded.find_first_of(" \t\"&=+"), std::string::npos) << encoded;
        Poco::URI::decode(encoded, decoded);
        EXPECT_EQ(decoded, in);
    }
}
