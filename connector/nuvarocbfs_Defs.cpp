#include "nuvarocbfs_Defs.h"

namespace Nuvaro {

// Request paths of the server's XML API. Paths that carry a query are extended with "&" fields.
const std::string NUVARO_LOGINGUEST_COMMAND = "/core/loginguest";
const std::string NUVARO_2FALOGIN_COMMAND = "/core/2falogin";
const std::string NUVARO_REQUEST_DEVICE_ACCESS_COMMAND = "/core/requestdeviceaccess";
const std::string NUVARO_AUTHENTICATEPROFILE_COMMAND = "/core/authenticateprofile";
const std::string NUVARO_LOGINPROFILE_COMMAND = "/core/loginprofile";
const std::string NUVARO_GETAUTHENTICATIONINFO_COMMAND = "/core/getauthenticationinfo";
const std::string NUVARO_GETSYSTEMSTATUS_COMMAND = "/core/getsystemstatus?nousage=0";
const std::string NUVARO_GETPLUGINLAUNCHLIST_COMMAND = "/core/getpluginlaunchlist";
const std::string NUVARO_FILEINFO_COMMAND = "/core/fileinfo";
const std::string NUVARO_GETACCESSDETAILSFORPATH_COMMAND = "/core/getaccessdetailsforpath";
const std::string NUVARO_GETALLFAVORITELISTS_COMMAND = "/core/getallfavoritelists";
const std::string NUVARO_GETFAVORITESINLIST_COMMAND = "/core/getfavoritesinlist";
const std::string NUVARO_GETFILELIST_COMMAND = "/core/getfilelist";
const std::string NUVARO_DOWNLOADFILE_COMMAND = "/core/downloadfile";
const std::string NUVARO_UPLOADFILE_COMMAND = "/upload?appname=";
const std::string NUVARO_PATHEXISTS_COMMAND = "/app/explorer/fileexists";
const std::string NUVARO_CREATEFOLDER_COMMAND = "/app/explorer/createfolder";
const std::string NUVARO_DELETE_COMMAND = "/app/explorer/deletefile";
const std::string NUVARO_RENAME_FILE_COMMAND = "/app/explorer/renamefile";
const std::string NUVARO_COPYFILE_COMMAND = "/app/explorer/copyfile";
const std::string NUVARO_RENAME_COMMAND = "/app/explorer/renameormove";
const std::string NUVARO_GET_RMC_COMMANDS = "/core/getrmccommands";
const std::string NUVARO_ACK_RMC_COMMANDS = "/core/ackrmccommands";
const std::string NUVARO_LOCK_FILE_COMMAND = "/core/lock";
const std::string NUVARO_UNLOCK_FILE_COMMAND = "/core/unlock";
const std::string NUVARO_QUICKSHARE = "/app/bramblelink/quickshare";

// Element names of the records in the server's replies.
const std::string COMMAND_RECORD = "command";
const std::string ENTRY_RECORD = "entry";
const std::string STATUS_RECORD = "status";
const std::string PLUGIN_RECORD = "plugin";
const std::string AUTHENTICATIONINFO_RECORD = "info";
const std::string RMC_COMMAND_RECORD = "rmc_command";
const std::string QUICKSHARE_RECORD = "share";
const std::string PERMISSION_RECORD = "permission";
const std::string FAVORITELIST_RECORD = "favoritelist";
const std::string FAVORITEENTRY_RECORD = "entry";
const std::string SYNC_RECORD = "record";
const std::string ACCOUNT_RECORD = "account";
const std::string CONFIG_RECORD = "config";

// Reply keys and result values. Results are compared as text; the same text can
const std::string RESULT_KEY = "result";
const std::string MESSAGE_KEY = "message";
const std::string SUCCESS_VALUE = "1";
const std::string REMOTE_LOGIN_REQ_VALUE = "2";
const std::string TWO_FA_LOGIN_REQ_VALUE = "3";
const std::string DEV_AUTH_SESSION_TIMEOUT_VALUE = "10";
const std::string DEV_AUTH_INVALID_VALUE = "0";
const std::string DEVAUTH_USER_APPROVAL_REQ_VALUE = "1";
const std::string DEVAUTH_ADMIN_APPROVAL_REQ_VALUE = "2";
const std::string RMC_COMMAND_RID_KEY = "rid";
const std::string RMC_COMMAND_ID_KEY = "remote_command_id";

// Remote-management command codes (value of remote_command_id).
const std::string RMC_DISPLAY_MESSAGE_KEY = "10000";
const std::string RMC_WIPE_AND_ABORT_LOGIN_KEY = "10001";
const std::string RMC_LOGIN_BLOCKED_KEY = "10002";
const std::string RMC_MOBILE_HIDEOPENWITH_KEY = "10008";

// Keys of the account and settings map.
const std::string URL_KEY = "url";
const std::string PROFILE_KEY = "profile";
const std::string PASSWORD_KEY = "password";
const std::string LOGINMODE_KEY = "loginmode";
const std::string DEV_AUTH_CODE_KEY = "devauthcode";
const std::string SHA1_PASSWORD_KEY = "sha1password";
const std::string REMOTEANS_KEY = "remoteans";
const std::string HTTP_PROXY_HOST = "httpproxyhost";
const std::string HTTP_PROXY_PORT = "httpproxyport";
const std::string HTTP_PROXY_USER = "httpproxyuser";
const std::string HTTP_PROXY_PASSWORD = "httpproxypassword";
const std::string HTTP_PROXY_ENABLED = "httpproxyenabled";
const std::string SSL_VERIFY = "sslverify";
const std::string SSL_LEVEL = "ssllevel";
const std::string RMC_CLIENT_ID = "RMC_CLIENT_ID";
const std::string RMC_CLIENT_DISP_NAME = "RMC_CLIENT_DISP_NAME";
const std::string RMC_CLIENT_APP_VERSION = "RMC_CLIENT_APP_VERSION";
const std::string RMC_CLIENT_OS_TYPE = "RMC_CLIENT_OS_TYPE";
const std::string RMC_CLIENT_OS_VERSION = "RMC_CLIENT_OS_VERSION";
const std::string RMC_LEVEL_KEY = "rmclevel";
const std::string DISABLE_MYFILES_KEY = "disablemyfiles";
const std::string NETWORKFOLDER_NAME_KEY = "networkfoldername";
const std::string TEAMFOLDER_NAME_KEY = "teamfoldername";
const std::string TEAMFOLDER_ACCOUNT_KEY = "teamfolderaccount";
const std::string UPLOAD_RESTRICTIONS = "uploadrestrictions";
const std::string DISABLEDOTDOT = "disabledotdot";

// Keys of listing entries and server status records.
const std::string TYPE_KEY = "type";
const std::string PATH_KEY = "path";
const std::string NAME_KEY = "name";
const std::string SIZE_KEY = "size";
const std::string FULL_SIZE_KEY = "fullsize";
const std::string MODIFIED_KEY = "modified";
const std::string MODIFIED_EPOCH_KEY = "modifiedepoch";
const std::string OS_KEY = "OS";
const std::string DIR_TYPE_VALUE = "dir";

// Server platform values reported in the status record's OS key.
const std::string NUVARO_PLUG_VALUE = "NUVARO_PLUG";
const std::string NUVARO_WIN32_VALUE = "NUVARO_WIN32";
const std::string NUVARO_LINUX_VALUE = "NUVARO_LINUX";
const std::string NUVARO_DARWIN_VALUE = "NUVARO_DARWIN";
const std::string NUVARO_CLOUD_VALUE = "NUVARO_CLOUD";

const std::string URL_SPECIAL_CHARS = "#:?/\\$@!^&*()-;\'><=+";

namespace Defs {
namespace HTTP {
const std::string URL_SPECIAL_CHARS = "#:?/\\$@!^&*()-;\'><=+";
} // namespace HTTP
} // namespace Defs

} // namespace Nuvaro
