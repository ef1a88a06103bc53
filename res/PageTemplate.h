#pragma once
#include <string_view>

#include "res/StringIds.h"

// The names a page renderer needs to fill res/page.html. The template itself is read with
// tessel::res::Find(kPageTemplateName).
namespace tessel::res {

inline constexpr std::string_view kPageTemplateName = "page.html";

struct PageLabel {
  std::string_view placeholder;
  int id;
};

// Every label placeholder with its string, in the order they must be replaced: a name is replaced
// before any shorter name it begins with (IDS_HTML_UPLOAD_FILE before IDS_HTML_UPLOAD,
// IDS_HTML_SHARE_TYPE before IDS_HTML_SHARE).
inline constexpr PageLabel kPageLabels[] = {
    {"IDS_HTML_PRODUCT_TITLE", IDS_HTML_PRODUCT_TITLE},
    {"IDS_HTML_HOME", IDS_HTML_HOME},
    {"IDS_HTML_LOGIN", IDS_HTML_LOGIN},
    {"IDS_HTML_LOGOUT", IDS_HTML_LOGOUT},
    {"IDS_HTML_NO", IDS_HTML_NO},
    {"IDS_HTML_FILE_NAME", IDS_HTML_FILE_NAME},
    {"IDS_HTML_FILE_SIZE", IDS_HTML_FILE_SIZE},
    {"IDS_HTML_FILE_TIME", IDS_HTML_FILE_TIME},
    {"IDS_HTML_UPLOAD_FILE", IDS_HTML_UPLOAD_FILE},
    {"IDS_HTML_UPLOAD", IDS_HTML_UPLOAD},
    {"IDS_HTML_PRODUCT_URL", IDS_HTML_PRODUCT_URL},
    {"IDS_HTML_SHARE_TYPE", IDS_HTML_SHARE_TYPE},
    {"IDS_HTML_SHARE", IDS_HTML_SHARE},
    {"IDS_HTML_AUTH", IDS_HTML_AUTH},
    {"IDS_HTML_UP_CHOOSE", IDS_HTML_UP_CHOOSE},
    {"IDS_HTML_UP_DROP_HERE", IDS_HTML_UP_DROP_HERE},
    {"IDS_HTML_UP_DROP_PAGE", IDS_HTML_UP_DROP_PAGE},
    {"IDS_HTML_UP_WAITING", IDS_HTML_UP_WAITING},
    {"IDS_HTML_UP_SENDING", IDS_HTML_UP_SENDING},
    {"IDS_HTML_UP_SAVING", IDS_HTML_UP_SAVING},
    {"IDS_HTML_UP_DONE", IDS_HTML_UP_DONE},
    {"IDS_HTML_UP_SAVED_AS", IDS_HTML_UP_SAVED_AS},
    {"IDS_HTML_UP_REFUSED", IDS_HTML_UP_REFUSED},
    {"IDS_HTML_UP_FAILED", IDS_HTML_UP_FAILED},
    {"IDS_HTML_UP_FOLDER", IDS_HTML_UP_FOLDER},
    {"IDS_HTML_UP_STOPPED", IDS_HTML_UP_STOPPED},
    {"IDS_HTML_UP_CANCEL", IDS_HTML_UP_CANCEL},
    {"IDS_HTML_UP_RETRY", IDS_HTML_UP_RETRY},
    {"IDS_HTML_UP_CLEAR", IDS_HTML_UP_CLEAR},
    {"IDS_HTML_UP_COUNT", IDS_HTML_UP_COUNT},
};

// What lies between these two comments is for visitors who may upload (the upload panel's script,
// stylesheet and texts); the page drops it, comments included, for everybody else.
inline constexpr std::string_view kUploadOnlyStart = "<!--##UploadOnlyStart##-->";
inline constexpr std::string_view kUploadOnlyEnd = "<!--##UploadOnlyEnd##-->";

// The sample row lies strictly between these two comments; generated rows go before the list
// marker.
inline constexpr std::string_view kSampleStart = "<!--##SampleStart##-->";
inline constexpr std::string_view kSampleEnd = "<!--##SampleEnd##-->";
inline constexpr std::string_view kSharedFileList = "<!--##SharedFileList##-->";

// Page placeholders, replaced by "yes" (shown) or "none" (hidden).
inline constexpr std::string_view kLoginDisplay = "##LoginDisplay##";
inline constexpr std::string_view kLogoffDisplay = "##LogoffDisplay##";
inline constexpr std::string_view kUploadDisplay = "##UploadDisplay##";

// Row placeholders.
inline constexpr std::string_view kRowNo = "##No##";
inline constexpr std::string_view kRowFileUrl = "##FileURL##";
inline constexpr std::string_view kRowFileName = "##FileName##";
inline constexpr std::string_view kRowFileSize = "##FileSize##";
inline constexpr std::string_view kRowFileDate = "##FileDate##";
inline constexpr std::string_view kRowActionDisplay = "##ActionDisplay##";
inline constexpr std::string_view kRowFolderDisplay = "##FolderDisplay##";

}  // namespace tessel::res
