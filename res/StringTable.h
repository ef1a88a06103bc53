#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One language's numbered texts, read from a "<id><TAB><text>" file of res/ (see strings-en.txt
// for the escapes). Immutable once parsed, so one table can be read from every thread.
class CStringTable {
 public:
  // Parses the text of a table file. Blank lines and lines starting with "#" are skipped; the
  // numbers of malformed lines (no id, no tab, a repeated id) go to bad_lines when given.
  static CStringTable Parse(std::string_view text, std::vector<int>* bad_lines = nullptr);

  // The text of id, or nullptr when the table has none.
  const std::string* Find(int id) const;

  // Every id of the table, ascending.
  std::vector<int> Ids() const;

 private:
  std::map<int, std::string> m_texts;
};

namespace tessel::res {

enum class Language { kEnglish, kChinese };

// The language the environment asks for: the first non-empty of LC_ALL, LC_MESSAGES and LANG
// selects Chinese when it starts with "zh", English otherwise.
Language LocaleLanguage();

// Chooses the language of String() for the whole process (tests; a later user setting). Until it
// is called, String() follows LocaleLanguage() as read at its first use.
void SetLanguage(Language language);
Language CurrentLanguage();

// The table compiled into the program for a language.
const CStringTable& Table(Language language);

// The text of id in the current (or the given) language, else the English text, else "". The
// reference stays valid for the life of the process.
const std::string& String(int id);
const std::string& String(int id, Language language);

}  // namespace tessel::res
