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

}  // namespace tessel::res
