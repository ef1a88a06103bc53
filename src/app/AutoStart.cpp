#include "app/AutoStart.h"

#include <filesystem>
#include <fstream>
#include <string_view>

#include "app/UserFolders.h"

namespace fs = std::filesystem;

namespace {

// Characters that make an Exec argument need double quotes.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

}  // namespace

std::string tessel::AutoStartEntryPath() {
  const std::string config = ConfigHome();
  if (config.empty()) return "";
  return (fs::path(config) / "autostart" / "Tessel.desktop").string();
}

std::string tessel::AutoStartExec(const std::string& program_path) {
  // First the Exec rules: an argument with reserved characters goes in double quotes, inside
  // which backslash escapes the quote, backquote, dollar and backslash; every % is doubled, as
  // it would start a field code.
  const bool quote = program_path.find_first_of(kReserved) != std::string::npos;
  std::string argument = quote ? "\"" : "";
  for (char c : program_path) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
    if (c == '%') argument += '%';
    argument += c;
  }
  if (quote) argument += '"';
  argument += " -mini";
  // Then the escapes of every string value of a desktop entry.
  std::string value;
  for (char c : argument) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value;
}

bool tessel::WriteAutoStartEntry(const std::string& program_path) {
  const std::string path = AutoStartEntryPath();
  if (path.empty()) return false;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  // Written beside and renamed, so a session starting meanwhile never reads half an entry.
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tessel\n"
           "Exec="
        << AutoStartExec(program_path)
        << "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
    out.close();
    if (!out) {
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, path, ec);
  if (!ec) return true;
  fs::remove(temp, ec);
  return false;
}

bool tessel::RemoveAutoStartEntry() {
  const std::string path = AutoStartEntryPath();
  if (path.empty()) return true;
  std::error_code ec;
  fs::remove(path, ec);
  return !ec;
}
