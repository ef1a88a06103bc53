#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/XmlNode.h"

// The tokeniser and element parser behind XMLNode::Parse: one object per parse. Elements are parsed
// with an explicit stack instead of recursion, so nesting depth is bounded only by the input's
// size.
class XMLParser {
 public:
  explicit XMLParser(const char* text)
      : m_text(text), m_length(std::char_traits<char>::length(text)) {}

  // Parses the whole text into document (a nameless record) and returns the result code. Codes 0
  // and 1 leave the tree as far as it was read.
  int Run(const std::shared_ptr<XMLNodeRecord>& document);

  // The index just after the token that ended the parse.
  size_t Index() const { return m_index; }

 private:
  enum class Kind {
    kText,
    kQuotedText,
    kTagStart,
    kEndTagStart,
    kTagClose,
    kEquals,
    kDeclarationStart,
    kShortClose,
    kSection,
    kEnd
  };
  struct Token {
    Kind kind;
    size_t start;
    size_t length;
    int section;  // index into the section table for kSection
  };
  enum class TagState { kName, kEquals, kValue, kContent };
  struct Frame {
    std::shared_ptr<XMLNodeRecord> node;
    TagState state;
    std::string pending_name;  // attribute name awaiting "=" or a value
    size_t pending_text;       // start of pending content text, or npos
  };
  enum class Outcome { kContinue, kDone, kFail };

  Token Next();
  std::string_view View(const Token& token) const { return {m_text + token.start, token.length}; }
  Outcome StepTag(Frame& frame, const Token& token);
  Outcome StepContent(Frame& frame, const Token& token);
  // Completes the innermost element and lets the pending end tag complete its ancestors.
  Outcome Complete();
  void TakePendingText(Frame& frame, size_t end, bool decode);
  static void AddAttribute(XMLNodeRecord& node, std::string name, std::optional<std::string> value);

  const char* m_text;  // zero-terminated
  size_t m_length;
  size_t m_index = 0;
  int m_code = XML_OK;
  std::string_view m_end_tag;      // pending end-tag name; empty when none
  int m_entity_reports_left = 10;  // unknown entities this parse may still report
  std::vector<Frame> m_stack;
};

namespace tessel {
// Replaces the five predefined entities (any letter case). An unknown "&" sequence is reported on
// standard error and kept as written. reports_left, when given, counts down the reports still
// allowed; at 0 no more are written.
std::string DecodeXmlEntities(std::string_view text, int* reports_left = nullptr);
}  // namespace tessel
