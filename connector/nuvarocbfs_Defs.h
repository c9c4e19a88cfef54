#pragma once

// The vocabulary the client shares with the server and with its own settings:
// request paths, reply record names, reply keys and values, settings keys and
// remote-management codes. Every constant is built before main() and never
// written; any thread may read them at any time.

#include <string>

namespace Nuvaro {

// Request paths of the server's XML API. Paths that carry a query are extended with "&" fields.
extern const std::string NUVARO_LOGINGUEST_COMMAND;
extern const std::string NUVARO_2FALOGIN_COMMAND;
extern const std::string NUVARO_REQUEST_DEVICE_ACCESS_COMMAND;
extern const std::string NUVARO_AUTHENTICATEPROFILE_COMMAND;
extern const std::string NUVARO_LOGINPROFILE_COMMAND;
extern const std::string NUVARO_GETAUTHENTICATIONINFO_COMMAND;
extern const std::string NUVARO_GETSYSTEMSTATUS_COMMAND;
extern const std::string NUVARO_GETPLUGINLAUNCHLIST_COMMAND;
extern const std::string NUVARO_FILEINFO_COMMAND;
extern const std::string NUVARO_GETACCESSDETAILSFORPATH_COMMAND;
extern const std::string NUVARO_GETALLFAVORITELISTS_COMMAND;
extern const std::string NUVARO_GETFAVORITESINLIST_COMMAND;
extern const std::string NUVARO_GETFILELIST_COMMAND;
extern const std::string NUVARO_DOWNLOADFILE_COMMAND;
extern const std::string NUVARO_UPLOADFILE_COMMAND;
extern const std::string NUVARO_PATHEXISTS_COMMAND;
extern const std::string NUVARO_CREATEFOLDER_COMMAND;
extern const std::string NUVARO_DELETE_COMMAND;
extern const std::string NUVARO_RENAME_FILE_COMMAND;
extern const std::string NUVARO_COPYFILE_COMMAND;
extern const std::string NUVARO_RENAME_COMMAND;
extern const std::string NUVARO_GET_RMC_COMMANDS;
extern const std::string NUVARO_ACK_RMC_COMMANDS;
extern const std::string NUVARO_LOCK_FILE_COMMAND;
extern const std::string NUVARO_UNLOCK_FILE_COMMAND;
extern const std::string NUVARO_QUICKSHARE;

// Element names of the records in the server's replies.
extern const std::string COMMAND_RECORD;
extern const std::string ENTRY_RECORD;
extern const std::string STATUS_RECORD;
extern const std::string PLUGIN_RECORD;
extern const std::string AUTHENTICATIONINFO_RECORD;
extern const std::string RMC_COMMAND_RECORD;
extern const std::string QUICKSHARE_RECORD;
extern const std::string PERMISSION_RECORD;
extern const std::string FAVORITELIST_RECORD;
extern const std::string FAVORITEENTRY_RECORD;
extern const std::string SYNC_RECORD;
extern const std::string ACCOUNT_RECORD;
extern const std::string CONFIG_RECORD;

// Reply keys and result values. Results are compared as text; the same text can
// mean different things depending on the request that was made.
extern const std::string RESULT_KEY;
extern const std::string MESSAGE_KEY;
extern const std::string SUCCESS_VALUE;
extern const std::string REMOTE_LOGIN_REQ_VALUE;
extern const std::string TWO_FA_LOGIN_REQ_VALUE;
extern const std::string DEV_AUTH_SESSION_TIMEOUT_VALUE;
extern const std::string DEV_AUTH_INVALID_VALUE;
extern const std::string DEVAUTH_USER_APPROVAL_REQ_VALUE;
extern const std::string DEVAUTH_ADMIN_APPROVAL_REQ_VALUE;
extern const std::string RMC_COMMAND_RID_KEY;
extern const std::string RMC_COMMAND_ID_KEY;

// Remote-management command codes (value of remote_command_id).
extern const std::string RMC_DISPLAY_MESSAGE_KEY;
extern const std::string RMC_WIPE_AND_ABORT_LOGIN_KEY;
extern const std::string RMC_LOGIN_BLOCKED_KEY;
extern const std::string RMC_MOBILE_HIDEOPENWITH_KEY;

// Keys of the account and settings map.
extern const std::string URL_KEY;
extern const std::string PROFILE_KEY;
extern const std::string PASSWORD_KEY;
extern const std::string LOGINMODE_KEY;
extern const std::string DEV_AUTH_CODE_KEY;
extern const std::string SHA1_PASSWORD_KEY;
extern const std::string REMOTEANS_KEY;
extern const std::string HTTP_PROXY_HOST;
extern const std::string HTTP_PROXY_PORT;
extern const std::string HTTP_PROXY_USER;
extern const std::string HTTP_PROXY_PASSWORD;
extern const std::string HTTP_PROXY_ENABLED;
extern const std::string SSL_VERIFY;
extern const std::string SSL_LEVEL;
extern const std::string RMC_CLIENT_ID;
extern const std::string RMC_CLIENT_DISP_NAME;
extern const std::string RMC_CLIENT_APP_VERSION;
extern const std::string RMC_CLIENT_OS_TYPE;
extern const std::string RMC_CLIENT_OS_VERSION;
extern const std::string RMC_LEVEL_KEY;
extern const std::string DISABLE_MYFILES_KEY;
extern const std::string NETWORKFOLDER_NAME_KEY;
extern const std::string TEAMFOLDER_NAME_KEY;
extern const std::string TEAMFOLDER_ACCOUNT_KEY;
extern const std::string UPLOAD_RESTRICTIONS;
extern const std::string DISABLEDOTDOT;

// Keys of listing entries and server status records.
extern const std::string TYPE_KEY;
extern const std::string PATH_KEY;
extern const std::string NAME_KEY;
extern const std::string SIZE_KEY;
extern const std::string FULL_SIZE_KEY;
extern const std::string MODIFIED_KEY;
extern const std::string MODIFIED_EPOCH_KEY;
extern const std::string OS_KEY;
extern const std::string DIR_TYPE_VALUE;

// Server platform values reported in the status record's OS key.
extern const std::string NUVARO_PLUG_VALUE;
extern const std::string NUVARO_WIN32_VALUE;
extern const std::string NUVARO_LINUX_VALUE;
extern const std::string NUVARO_DARWIN_VALUE;
extern const std::string NUVARO_CLOUD_VALUE;

// Characters percent-encoded in form, query and header values in addition to
// those Poco::URI::encode always encodes: exactly 20 characters, one backslash.
// The connector uses this copy; the sync engine's own requests use the one in
// Defs::HTTP. Both hold the same text.
extern const std::string URL_SPECIAL_CHARS;

namespace Defs {
namespace HTTP {
extern const std::string URL_SPECIAL_CHARS;
} // namespace HTTP
} // namespace Defs

} // namespace Nuvaro
