#include "res/StringTable.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>

#include "res/Resources.h"

namespace {

// Undoes the escapes of a table file: \n, \t, \s (a space, for leading or trailing blanks that
// editors would strip) and \\. Any other backslash is kept as written.
std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (text[i + 1]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 's':
        out += ' ';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += '\\';
        continue;
    }
    ++i;
  }
  return out;
}

}  // namespace

CStringTable CStringTable::Parse(std::string_view text, std::vector<int>* bad_lines) {
  CStringTable table;
  int line_number = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;

    size_t tab = line.find('\t');
    int id = 0;
    auto [rest, error] = std::from_chars(line.data(), line.data() + std::min(tab, line.size()), id);
    bool ok = tab != std::string_view::npos && error == std::errc() && rest == line.data() + tab &&
              tab > 0 && id >= 0;
    if (ok) ok = table.m_texts.emplace(id, Unescape(line.substr(tab + 1))).second;
    if (!ok && bad_lines) bad_lines->push_back(line_number);
  }
  return table;
}

const std::string* CStringTable::Find(int id) const {
  auto it = m_texts.find(id);
  return it == m_texts.end() ? nullptr : &it->second;
}

std::vector<int> CStringTable::Ids() const {
  std::vector<int> ids;
  ids.reserve(m_texts.size());
  for (const auto& entry : m_texts) ids.push_back(entry.first);
  return ids;
}

namespace tessel::res {
namespace {

// -1 until the first use decides from the locale.
std::atomic<int> g_language{-1};

}  // namespace

Language LocaleLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      return std::string_view(value).starts_with("zh") ? Language::kChinese : Language::kEnglish;
    }
  }
  return Language::kEnglish;
}

void SetLanguage(Language language) {
  g_language.store(static_cast<int>(language));
}

Language CurrentLanguage() {
  int language = g_language.load();
  if (language < 0) {
    int expected = -1;
    g_language.compare_exchange_strong(expected, static_cast<int>(LocaleLanguage()));
    language = g_language.load();
  }
  return static_cast<Language>(language);
}

const CStringTable& Table(Language language) {
  static const CStringTable english = CStringTable::Parse(Find("strings-en.txt"));
  static const CStringTable chinese = CStringTable::Parse(Find("strings-zh.txt"));
  return language == Language::kChinese ? chinese : english;
}

const std::string& String(int id, Language language) {
  static const std::string empty;
  if (const std::string* text = Table(language).Find(id)) return *text;
  if (const std::string* text = Table(Language::kEnglish).Find(id)) return *text;
  return empty;
}

const std::string& String(int id) {
  return String(id, CurrentLanguage());
}

}  // namespace tessel::res
