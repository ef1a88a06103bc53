#include "net/XmlParser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/AsciiText.h"

namespace {

// Line and column (1-based) of index in text; only line feeds start a new line.
void LineAndColumn(const char* text, size_t index, int* line, int* column) {
  *line = 1;
  *column = 1;
  for (size_t i = 0; i < index && text[i] != '\0'; ++i) {
    if (text[i] == '\n') {
      ++*line;
      *column = 1;
    } else {
      ++*column;
    }
  }
}

struct SectionMarkers {
  const char* open;   // compared without regard to letter case
  const char* close;  // compared exactly
};

// Searched in this order.
constexpr SectionMarkers kSections[] = {
    {"<![CDATA[", "]]>"}, {"<PRE>", "</PRE>"}, {"<Script>", "</Script>"},
    {"<!--", "-->"},      {"<!DOCTYPE", ">"},
};

constexpr size_t kNone = std::string_view::npos;

// Unknown entities are quoted up to this many characters in the message.
constexpr size_t kEntityQuoteLimit = 10;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Whether the NUL-terminated text starts with prefix, in any letter case.
bool StartsWithNoCase(const char* text, std::string_view prefix) {
  return tessel::StartsWithNoCase(std::string_view(text, strnlen(text, prefix.size())), prefix);
}

std::string_view TrimRight(std::string_view text) {
  return tessel::TrimRight(text, " \t\n\r");
}

void ShrinkLists(XMLNodeRecord& node) {
  node.children.shrink_to_fit();
  node.texts.shrink_to_fit();
  node.sections.shrink_to_fit();
  node.attributes.shrink_to_fit();
}

}  // namespace

namespace tessel {

std::string DecodeXmlEntities(std::string_view text, int* reports_left) {
  struct Entity {
    std::string_view written;
    char value;
  };
  static constexpr Entity kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'},
  };
  std::string out;
  out.reserve(text.size());  // decoding never lengthens
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    const Entity* match = nullptr;
    for (const Entity& entity : kEntities) {
      if (EqualsNoCase(text.substr(i, entity.written.size()), entity.written)) {
        match = &entity;
        break;
      }
    }
    if (match) {
      out += match->value;
      i += match->written.size();
      continue;
    }
    // Input comes from other machines: report the sequence, keep it as written and go on. Its
    // control characters are not written out, and a flood of them is reported only so often.
    if (!reports_left || *reports_left > 0) {
      if (reports_left) --*reports_left;
      std::string rest(text.substr(i + 1, kEntityQuoteLimit));
      rest.resize(std::min(rest.size(), rest.find(';')));
      for (char& c : rest) {
        if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') c = '?';
      }
      std::fprintf(stderr, "unknown escape character: '&%s'\n", rest.c_str());
    }
    out += text[i++];
  }
  return out;
}

}  // namespace tessel

XMLParser::Token XMLParser::Next() {
  const char* s = m_text;
  while (IsSpace(s[m_index])) ++m_index;
  const size_t start = m_index;
  const char c = s[start];
  if (c == '\0') return {Kind::kEnd, start, 0, -1};

  for (int i = 0; i < static_cast<int>(std::size(kSections)); ++i) {
    if (StartsWithNoCase(s + start, kSections[i].open)) {
      const size_t length = std::strlen(kSections[i].open);
      m_index += length;
      return {Kind::kSection, start, length, i};
    }
  }

  auto fixed = [&](Kind kind, size_t length) {
    m_index += length;
    return Token{kind, start, length, -1};
  };
  switch (c) {
    case '"':
    case '\'': {
      size_t i = start + 1;
      while (s[i] != '\0' && s[i] != c && s[i] != '<') ++i;
      if (s[i] == c) return fixed(Kind::kQuotedText, i + 1 - start);
      break;  // unterminated: read as text from the quote on
    }
    case '/':
      if (s[start + 1] == '>') return fixed(Kind::kShortClose, 2);
      break;
    case '<':
      if (s[start + 1] == '/') return fixed(Kind::kEndTagStart, 2);
      if (s[start + 1] == '?') return fixed(Kind::kDeclarationStart, 2);
      return fixed(Kind::kTagStart, 1);
    case '=':
      return fixed(Kind::kEquals, 1);
    case '>':
      return fixed(Kind::kTagClose, 1);
    default:
      break;
  }

  // Text runs to whitespace (consumed), or up to "<", "=", ">" or "/>" (left for the next token).
  size_t i = start + 1;
  for (;; ++i) {
    const char d = s[i];
    if (d == '\0' || d == '<' || d == '=' || d == '>' || (d == '/' && s[i + 1] == '>')) {
      m_index = i;
      break;
    }
    if (IsSpace(d)) {
      m_index = i + 1;
      break;
    }
  }
  return {Kind::kText, start, i - start, -1};
}

int XMLParser::Run(const std::shared_ptr<XMLNodeRecord>& document) {
  m_stack.push_back({document, TagState::kContent, {}, kNone});
  for (;;) {
    const Token token = Next();
    // End of input leaves open elements in the tree as far as they were read.
    if (token.kind == Kind::kEnd) return m_code;
    Frame& frame = m_stack.back();
    const Outcome outcome =
        frame.state == TagState::kContent ? StepContent(frame, token) : StepTag(frame, token);
    if (outcome != Outcome::kContinue) return m_code;
  }
}

void XMLParser::AddAttribute(XMLNodeRecord& node, std::string name,
                             std::optional<std::string> value) {
  node.attributes.emplace_back(std::move(name), std::move(value));
}

XMLParser::Outcome XMLParser::StepTag(Frame& frame, const Token& token) {
  XMLNodeRecord& node = *frame.node;
  switch (frame.state) {
    case TagState::kName:
      if (token.kind == Kind::kText) {
        frame.pending_name.assign(View(token));
        frame.state = TagState::kEquals;
        return Outcome::kContinue;
      }
      if (token.kind == Kind::kTagClose) {
        frame.state = TagState::kContent;
        return Outcome::kContinue;
      }
      if (token.kind == Kind::kShortClose) return Complete();
      break;

    case TagState::kEquals:
      if (token.kind == Kind::kText) {
        AddAttribute(node, std::move(frame.pending_name), std::nullopt);
        frame.pending_name.assign(View(token));
        return Outcome::kContinue;
      }
      if (token.kind == Kind::kTagClose || token.kind == Kind::kShortClose) {
        std::string& name = frame.pending_name;
        if (node.is_declaration && !name.empty() && name.back() == '?') name.pop_back();
        if (!name.empty()) AddAttribute(node, std::move(name), std::nullopt);
        name.clear();
        if (token.kind == Kind::kShortClose) return Complete();
        frame.state = TagState::kContent;
        return Outcome::kContinue;
      }
      if (token.kind == Kind::kEquals) {
        frame.state = TagState::kValue;
        return Outcome::kContinue;
      }
      break;

    case TagState::kValue:
      if (token.kind == Kind::kText || token.kind == Kind::kQuotedText) {
        std::string_view value = View(token);
        if (token.kind == Kind::kQuotedText) {
          value = value.substr(1, value.size() - 2);
        } else if (node.is_declaration && value.back() == '?') {
          value.remove_suffix(1);
        }
        if (!frame.pending_name.empty()) {
          AddAttribute(node, std::move(frame.pending_name),
                       tessel::DecodeXmlEntities(value, &m_entity_reports_left));
        }
        frame.pending_name.clear();
        frame.state = TagState::kName;
        return Outcome::kContinue;
      }
      break;

    case TagState::kContent:
      break;
  }
  m_code = XML_UNEXPECTED_TOKEN;
  return Outcome::kFail;
}

void XMLParser::TakePendingText(Frame& frame, size_t end, bool decode) {
  if (frame.pending_text == kNone) return;
  const std::string_view text =
      TrimRight(std::string_view(m_text + frame.pending_text, end - frame.pending_text));
  frame.node->texts.push_back(decode ? tessel::DecodeXmlEntities(text, &m_entity_reports_left)
                                     : std::string(text));
  frame.pending_text = kNone;
}

XMLParser::Outcome XMLParser::StepContent(Frame& frame, const Token& token) {
  switch (token.kind) {
    case Kind::kText:
    case Kind::kQuotedText:
    case Kind::kEquals:
      if (frame.pending_text == kNone) frame.pending_text = token.start;
      return Outcome::kContinue;

    case Kind::kTagStart:
    case Kind::kDeclarationStart: {
      TakePendingText(frame, token.start, false);
      const Token name = Next();
      if (name.kind != Kind::kText) {
        m_code = XML_MISSING_START_TAG_NAME;
        return Outcome::kFail;
      }
      auto child = std::make_shared<XMLNodeRecord>();
      child->name.emplace(View(name));
      child->is_declaration = token.kind == Kind::kDeclarationStart;
      child->parent = frame.node;
      frame.node->children.push_back(XMLNode(child));
      m_stack.push_back({std::move(child), TagState::kName, {}, kNone});  // frame is stale now
      return Outcome::kContinue;
    }

    case Kind::kEndTagStart: {
      TakePendingText(frame, token.start, true);
      const Token name = Next();
      if (name.kind != Kind::kText || Next().kind != Kind::kTagClose) {
        m_code = XML_MISSING_END_TAG_NAME;
        return Outcome::kFail;
      }
      const std::optional<std::string>& own = frame.node->name;
      if (!own || !tessel::EqualsNoCase(*own, View(name))) {
        m_code = XML_WARNING_UNMATCHED_END_TAG;
        m_end_tag = View(name);
      }
      return Complete();
    }

    case Kind::kSection: {
      TakePendingText(frame, token.start, false);
      const SectionMarkers& markers = kSections[token.section];
      const size_t close = std::string_view(m_text, m_length).find(markers.close, m_index);
      if (close == kNone) {
        m_code = XML_UNMATCHED_END_TAG;
        return Outcome::kFail;
      }
      frame.node->sections.push_back(
          {markers.open, markers.close, std::string(m_text + m_index, close - m_index)});
      m_index = close + std::strlen(markers.close);
      return Outcome::kContinue;
    }

    case Kind::kTagClose:
    case Kind::kShortClose:
    case Kind::kEnd:
      break;
  }
  m_code = XML_UNEXPECTED_TOKEN;
  return Outcome::kFail;
}

XMLParser::Outcome XMLParser::Complete() {
  for (;;) {
    ShrinkLists(*m_stack.back().node);
    m_stack.pop_back();
    if (m_stack.empty()) return Outcome::kDone;  // the document itself met an end tag
    if (m_end_tag.empty()) return Outcome::kContinue;
    if (m_stack.size() == 1) {  // an end tag that closes nothing open
      m_code = XML_UNMATCHED_END_TAG;
      return Outcome::kFail;
    }
    // The pending end tag completes the parent as well; it is used up when it names the parent.
    if (tessel::EqualsNoCase(*m_stack.back().node->name, m_end_tag)) m_end_tag = {};
  }
}

// Defined here rather than beside the node, which then needs nothing of the parser.
XMLNode XMLNode::Parse(const char* text, const char* first_tag, XMLParseResult* result) {
  XMLParseResult unused;
  XMLParseResult& out = result ? *result : unused;
  out = {};
  if (!text) {
    out.code = XML_NO_ELEMENTS;
    return {};
  }

  auto document = std::make_shared<XMLNodeRecord>();
  XMLParser parser(text);
  out.code = parser.Run(document);
  if (out.code != XML_OK && out.code != XML_WARNING_UNMATCHED_END_TAG) {
    LineAndColumn(text, parser.Index(), &out.line, &out.column);
    return {};
  }
  if (!first_tag || !*first_tag) return XMLNode(std::move(document));

  // A declaration has no end tag, so whatever follows it is its content: look inside declarations.
  const XMLNodeRecord* current = document.get();
  size_t i = 0;
  while (i < current->children.size()) {
    const XMLNode& child = current->children[i];
    if (tessel::EqualsNoCase(*child.m_record->name, first_tag)) return child;
    if (child.m_record->is_declaration) {
      current = child.m_record.get();
      i = 0;
    } else {
      ++i;
    }
  }
  out = {XML_FIRST_TAG_NOT_FOUND, 0, 0};
  return {};
}
