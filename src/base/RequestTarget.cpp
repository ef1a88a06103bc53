#include "base/RequestTarget.h"

#include "base/AsciiText.h"

namespace tessel {

namespace {

// Removes every occurrence of flag; whether there was one.
bool EraseAll(std::string& text, std::string_view flag) {
  bool found = false;
  for (std::size_t at; (at = text.find(flag)) != std::string::npos; found = true)
    text.erase(at, flag.size());
  return found;
}

}  // namespace

std::string_view RequestTarget::ShareName() const {
  return std::string_view(name).substr(0, name.find('\\'));
}

RequestTarget ParseRequestTarget(std::string_view target) {
  constexpr std::string_view kRemove = "/remove.htm";
  constexpr std::string_view kFileValue = "?file=";
  constexpr std::string_view kDownload = "/download.htm?file=";

  target = target.substr(0, target.find('\0'));
  RequestTarget parsed;
  auto with_name = [&](Route route, std::string_view name) {
    parsed.route = route;
    parsed.name = std::string(name);
    return parsed;
  };
  // First match wins: the exact names before the prefixes they share.
  if (EqualsNoCase(target, "/index.htm")) return with_name(Route::kLogin, {});
  if (EqualsNoCase(target, "/logout.htm")) return with_name(Route::kLogout, {});
  if (StartsWithNoCase(target, kRemove)) {
    const std::string_view rest = target.substr(kRemove.size());
    return with_name(Route::kRemove,
                     StartsWithNoCase(rest, kFileValue) ? rest.substr(kFileValue.size()) : "");
  }
  if (EqualsNoCase(target, "/upload")) return with_name(Route::kUpload, {});
  if (target == "/" || EqualsNoCase(target, "/download.htm?file=/"))
    return with_name(Route::kShareList, {});
  if (EqualsNoCase(target, "/download.htm?file=/&icon=1")) return with_name(Route::kParentIcon, {});
  if (StartsWithNoCase(target, "/favicon.ico")) return with_name(Route::kFavicon, {});
  if (StartsWithNoCase(target, "/images/") || StartsWithNoCase(target, "/icons/"))
    return with_name(Route::kWebFile, target);
  if (!StartsWithNoCase(target, kDownload)) return parsed;
  parsed.route = Route::kDownload;
  parsed.name = std::string(target.substr(kDownload.size()));
  parsed.zip = EraseAll(parsed.name, "&zip=1");
  parsed.icon = EraseAll(parsed.name, "&icon=1");
  return parsed;
}

}  // namespace tessel
