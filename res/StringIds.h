#pragma once

// Numbers of the string-table entries (res/strings-*.txt). The texts live in the tables; these
// names only spare callers bare numbers.
namespace tessel::res {

// Status texts of the Internet check.
inline constexpr int IDS_CHECKING_IP = 144;
inline constexpr int IDS_INTERNET_FAILED = 145;
inline constexpr int IDS_INTERNET_IP = 146;
inline constexpr int IDS_CHECKING_UPNP = 147;
inline constexpr int IDS_INTERNET_OK = 148;
inline constexpr int IDS_UPNP_FAILED = 149;
inline constexpr int IDS_INFO_DOWNLOAD_FROM = 150;
inline constexpr int IDS_FRIENDLY_URL_FAILED = 174;

// Page labels, inserted in place of the placeholder of the same name in page.html.
inline constexpr int IDS_HTML_PRODUCT_TITLE = 162;
inline constexpr int IDS_HTML_HOME = 163;
inline constexpr int IDS_HTML_LOGIN = 164;
inline constexpr int IDS_HTML_LOGOUT = 165;
inline constexpr int IDS_HTML_NO = 166;
inline constexpr int IDS_HTML_FILE_NAME = 167;
inline constexpr int IDS_HTML_FILE_SIZE = 168;
inline constexpr int IDS_HTML_FILE_TIME = 169;
inline constexpr int IDS_HTML_UPLOAD_FILE = 170;
// Also the value of the upload form's "submit" field, whose byte length the upload receiver needs.
inline constexpr int IDS_HTML_UPLOAD = 171;
inline constexpr int IDS_HTML_PRODUCT_URL = 172;
inline constexpr int IDS_HTML_SHARE_TYPE = 175;
inline constexpr int IDS_HTML_SHARE = 176;
inline constexpr int IDS_HTML_AUTH = 177;

// The upload panel's texts, for the page's script (web/images/upload.js).
inline constexpr int IDS_HTML_UP_CHOOSE = 401;
inline constexpr int IDS_HTML_UP_DROP_HERE = 402;
inline constexpr int IDS_HTML_UP_DROP_PAGE = 403;
inline constexpr int IDS_HTML_UP_WAITING = 404;
inline constexpr int IDS_HTML_UP_SENDING = 405;
inline constexpr int IDS_HTML_UP_SAVING = 406;
inline constexpr int IDS_HTML_UP_DONE = 407;
inline constexpr int IDS_HTML_UP_SAVED_AS = 408;
inline constexpr int IDS_HTML_UP_REFUSED = 409;
inline constexpr int IDS_HTML_UP_FAILED = 410;
inline constexpr int IDS_HTML_UP_FOLDER = 411;
inline constexpr int IDS_HTML_UP_STOPPED = 412;
inline constexpr int IDS_HTML_UP_CANCEL = 413;
inline constexpr int IDS_HTML_UP_RETRY = 414;
inline constexpr int IDS_HTML_UP_CLEAR = 415;
inline constexpr int IDS_HTML_UP_COUNT = 416;

// The main window.
inline constexpr int IDS_WND_CAPTION = 300;
inline constexpr int IDS_VIEW_FILE_SHARE = 301;  // the three lists, as the out bar names them
inline constexpr int IDS_VIEW_MY_FRIENDS = 302;
inline constexpr int IDS_VIEW_LOGS = 303;
inline constexpr int IDS_TOOLBAR_LABELS = 304;  // cut at each "|"; a blank is a separator
inline constexpr int IDS_TIP_NEW_ACCOUNT = 305;
inline constexpr int IDS_TIP_NEW_SHARE = 306;
inline constexpr int IDS_TIP_MY_COMPUTER = 307;
inline constexpr int IDS_TIP_MY_SHARE = 308;
inline constexpr int IDS_TIP_UPLOAD_PATH = 309;
inline constexpr int IDS_MENU_FILE = 310;
inline constexpr int IDS_MENU_HIDE = 311;
inline constexpr int IDS_MENU_EXIT = 312;
inline constexpr int IDS_MENU_SHARE = 313;
inline constexpr int IDS_MENU_COPY_URL = 314;
inline constexpr int IDS_MENU_NEW_SHARE = 315;
inline constexpr int IDS_MENU_EDIT_SHARE = 316;
inline constexpr int IDS_MENU_DELETE_SHARE = 317;
inline constexpr int IDS_MENU_ACCOUNT = 318;
inline constexpr int IDS_MENU_NEW_ACCOUNT = 319;
inline constexpr int IDS_MENU_EDIT_ACCOUNT = 320;
inline constexpr int IDS_MENU_DELETE_ACCOUNT = 321;
inline constexpr int IDS_MENU_OPTIONS = 322;
inline constexpr int IDS_MENU_SETTINGS = 323;
inline constexpr int IDS_MENU_INTERNET_CHECK = 324;
inline constexpr int IDS_MENU_HELP = 325;
inline constexpr int IDS_MENU_HELP_DOCUMENT = 326;
inline constexpr int IDS_MENU_HOMEPAGE = 327;
inline constexpr int IDS_MENU_ABOUT = 328;
inline constexpr int IDS_TIP_COPY_URL = 329;
inline constexpr int IDS_COL_FILE_NAME = 330;  // File Share columns 0-7
inline constexpr int IDS_COL_TYPE = 331;
inline constexpr int IDS_COL_SIZE = 332;
inline constexpr int IDS_COL_FILE_TIME = 333;
inline constexpr int IDS_COL_SHARE_TIME = 334;
inline constexpr int IDS_COL_UPLOADER = 335;
inline constexpr int IDS_COL_FILE_PATH = 336;
inline constexpr int IDS_COL_DESCRIPTION = 337;
inline constexpr int IDS_SHARE_PUBLIC = 338;
inline constexpr int IDS_SHARE_AUTH = 339;
inline constexpr int IDS_COL_ACCOUNT_NAME = 340;  // My Friends columns 0-6
inline constexpr int IDS_COL_STATUS = 341;
inline constexpr int IDS_COL_AUTH_TYPE = 342;
inline constexpr int IDS_COL_IP_ADDRESS = 343;
inline constexpr int IDS_COL_PASSWORD = 344;
inline constexpr int IDS_COL_MODIFY_TIME = 345;
inline constexpr int IDS_COL_ACCOUNT_DESCRIPTION = 346;
inline constexpr int IDS_ACCOUNT_ENABLED = 347;
inline constexpr int IDS_ACCOUNT_DISABLED = 348;
inline constexpr int IDS_COL_LOG_TIME = 350;  // Logs columns 0-1
inline constexpr int IDS_COL_LOG_CONTENT = 351;
inline constexpr int IDS_TIP_INTERNET_CHECK = 352;
inline constexpr int IDS_TIP_SETTINGS = 353;
inline constexpr int IDS_TIP_HIDE = 354;
inline constexpr int IDS_TIP_EXIT = 355;
inline constexpr int IDS_ABOUT_TITLE = 356;
inline constexpr int IDS_ABOUT_VERSION = 357;
inline constexpr int IDS_TRAY_TIP = 358;
inline constexpr int IDS_STATUS_PORT_TAKEN = 359;  // %1 asked, %2 the reason, %3 the port kept
inline constexpr int IDS_STATUS_PORT_LOST = 360;   // %1 asked, %2 the reason, %3 the old port
inline constexpr int IDS_STATUS_SERVING = 361;     // %1 the port
inline constexpr int IDS_TIP_DROP = 362;

// Dialogs and custom controls of the window. "&" marks a keyboard accelerator.
inline constexpr int IDS_DLG_ACCOUNT_TITLE = 500;
inline constexpr int IDS_DLG_ACCOUNT_ENABLED = 501;
inline constexpr int IDS_DLG_ACCOUNT_ALLOW_UPLOAD = 502;
inline constexpr int IDS_DLG_ACCOUNT_ALLOW_DELETE = 503;
inline constexpr int IDS_DLG_ACCOUNT_NAME = 504;
inline constexpr int IDS_DLG_ACCOUNT_AUTH_TYPE = 505;
inline constexpr int IDS_DLG_ACCOUNT_PASSWORD = 506;
inline constexpr int IDS_DLG_ACCOUNT_IP_ADDRESS = 507;
inline constexpr int IDS_DLG_DESCRIPTION = 508;
inline constexpr int IDS_AUTH_USER_PASSWORD = 509;  // the authentication types, as listed
inline constexpr int IDS_AUTH_IP_ADDRESS = 510;
inline constexpr int IDS_MSG_ACCOUNT_EXISTS = 511;
inline constexpr int IDS_MSG_DELETE_ACCOUNT = 512;
inline constexpr int IDS_MSG_ACCOUNT_NOT_SAVED = 513;
inline constexpr int IDS_DLG_SHARE_TITLE = 520;
inline constexpr int IDS_DLG_SHARE_PATH = 521;
inline constexpr int IDS_DLG_BROWSER = 522;
inline constexpr int IDS_DLG_SHARE_NAME = 523;
inline constexpr int IDS_DLG_SHARE_TIME = 524;
inline constexpr int IDS_DLG_SHARE_UPLOADER = 525;
inline constexpr int IDS_DLG_SHARE_AUTH = 526;
inline constexpr int IDS_MSG_SHARE_EXISTS = 527;
inline constexpr int IDS_DLG_PICK_FILE = 528;
inline constexpr int IDS_DLG_PICK_FOLDER = 529;
inline constexpr int IDS_MSG_SHARE_NOT_SAVED = 530;
inline constexpr int IDS_DLG_SETTINGS_TITLE = 540;
inline constexpr int IDS_DLG_SETTINGS_GENERAL = 541;
inline constexpr int IDS_DLG_SETTINGS_PORT = 542;
inline constexpr int IDS_DLG_SETTINGS_INTERNET = 543;
inline constexpr int IDS_DLG_SETTINGS_UPLOAD_PATH = 544;
inline constexpr int IDS_DLG_SETTINGS_AUTO_RUN = 545;
inline constexpr int IDS_DLG_SETTINGS_ZIP = 546;
inline constexpr int IDS_DLG_SETTINGS_FRIENDLY = 547;
inline constexpr int IDS_DLG_SETTINGS_USER = 548;
inline constexpr int IDS_DLG_SETTINGS_PASSWORD = 549;
inline constexpr int IDS_DLG_SETTINGS_SIGN_UP = 550;
inline constexpr int IDS_DLG_SETTINGS_CHECK_VERSION = 551;
inline constexpr int IDS_STATUS_PORT_EMPTY = 552;
inline constexpr int IDS_STATUS_PORT_INVALID = 553;  // %1: the text typed
inline constexpr int IDS_INFO_CAPTION = 560;
inline constexpr int IDS_INFO_QR_TIP = 561;  // %1: the address
inline constexpr int IDS_OUTBAR_RENAME = 570;
inline constexpr int IDS_OUTBAR_REMOVE = 571;
inline constexpr int IDS_BUTTON_OK = 580;
inline constexpr int IDS_BUTTON_CANCEL = 581;
inline constexpr int IDS_BUTTON_YES = 582;
inline constexpr int IDS_BUTTON_NO = 583;
inline constexpr int IDS_DLG_SETTINGS_SECURE = 600;
inline constexpr int IDS_DLG_SETTINGS_CERT_IN_USE = 601;
inline constexpr int IDS_DLG_SETTINGS_CERT_ISSUER = 602;
inline constexpr int IDS_DLG_SETTINGS_CERT_NAMES = 603;
inline constexpr int IDS_DLG_SETTINGS_CERT_EXPIRY = 604;
inline constexpr int IDS_DLG_SETTINGS_CERT_FINGERPRINT = 605;
inline constexpr int IDS_DLG_SETTINGS_CERT_OWN = 606;
inline constexpr int IDS_DLG_SETTINGS_CERT_AUTOMATIC = 607;
inline constexpr int IDS_DLG_SETTINGS_CERT_SELF_SIGNED = 608;
inline constexpr int IDS_DLG_SETTINGS_CERT_FILE = 609;
inline constexpr int IDS_DLG_SETTINGS_KEY_FILE = 610;
inline constexpr int IDS_DLG_SETTINGS_CERT_DOMAIN = 611;
inline constexpr int IDS_DLG_SETTINGS_ACME_ERROR = 612;
inline constexpr int IDS_DLG_SETTINGS_NO_ERROR = 613;
inline constexpr int IDS_DLG_SETTINGS_SOURCE_OWN = 614;
inline constexpr int IDS_DLG_SETTINGS_SOURCE_ACME = 615;
inline constexpr int IDS_DLG_SETTINGS_SOURCE_SELF_SIGNED = 616;
inline constexpr int IDS_DLG_SETTINGS_SOURCE_NONE = 617;
inline constexpr int IDS_DLG_SETTINGS_OWN_ERROR = 618;
inline constexpr int IDS_DLG_SETTINGS_CERT_SOURCE = 619;
inline constexpr int IDS_DLG_SETTINGS_BROWSE_FILE = 620;

}  // namespace tessel::res
