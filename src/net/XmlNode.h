#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A small, forgiving XML reader for device descriptions and SOAP replies. It does not validate or
// resolve namespaces ("s:Body" is simply a name); element names compare without regard to ASCII
// letter case. Trees are not thread-safe: a tree and its handles belong to the thread that parsed
// it.

struct XMLNodeRecord;

// Result codes of XMLNode::Parse; XMLErrorText gives their fixed texts.
enum XMLResultCode : int {
  XML_OK = 0,
  XML_WARNING_UNMATCHED_END_TAG = 1,
  XML_NO_DATA = 2,
  XML_FIRST_NOT_START_TAG = 3,
  XML_MISSING_START_TAG_NAME = 4,
  XML_MISSING_END_TAG_NAME = 5,
  XML_UNMATCHED_QUOTE = 6,
  XML_UNMATCHED_END_TAG = 7,
  XML_UNEXPECTED_TOKEN = 8,
  XML_INVALID_TAG = 9,
  XML_NO_ELEMENTS = 10,
  XML_FILE_NOT_FOUND = 11,
  XML_FIRST_TAG_NOT_FOUND = 12,
};

struct XMLParseResult {
  int code = XML_OK;
  // Where parsing stopped (1-based), for codes other than 0 and 1; 0 otherwise.
  int line = 0;
  int column = 0;
};

// An opaque section of element content (comment, CDATA, DOCTYPE, PRE or Script block).
struct XMLSection {
  const char* open_marker;   // from the fixed section table
  const char* close_marker;  // from the fixed section table
  std::string content;       // the characters between the markers, as written
};

// A handle to one parsed element: either the null node or a shared reference to a node record.
// A subtree lives as long as its root or any handle into it. The null node answers every query with
// nothing (null node, 0, nullptr, false).
class XMLNode {
 public:
  XMLNode() = default;

  // Parses zero-terminated text (nullptr: code 10). With a non-empty first_tag the result is the
  // first element of that name, searched through the document's children and into declarations
  // (code 12 when missing); otherwise the nameless document node. Codes other than 0 and 1 give the
  // null node. result, when given, receives the code and, on failure, the line and column where
  // parsing stopped.
  static XMLNode Parse(const char* text, const char* first_tag = nullptr,
                       XMLParseResult* result = nullptr);

  // The index-th (from 0) child named name; the null node when there are not that many.
  XMLNode ChildByName(std::string_view name, int index = 0) const;
  // The first child named name at or after *cursor (0 without a cursor); the cursor then points
  // past it. The null node, cursor unchanged, when none is left.
  XMLNode NextChildByName(std::string_view name, int* cursor) const;
  int CountChildrenByName(std::string_view name) const;

  // The index-th text run, owned by the node; nullptr when there is none.
  const char* TextAt(int index) const;
  int TextCount() const;
  XMLNode ChildAt(int index) const;
  int ChildCount() const;
  // The element name as written, prefix included; nullptr for the document node and the null node.
  const char* Name() const;
  bool IsDeclaration() const;
  bool IsNull() const { return !m_record; }
  // The parent element; the null node for the document, a detached node or when the parent is gone.
  XMLNode Parent() const;

  int AttributeCount() const;
  // The index-th attribute's name; nullptr when there is none.
  const char* AttributeNameAt(int index) const;
  // The index-th attribute's value; nullptr when there is none or it was written without "=".
  const char* AttributeValueAt(int index) const;
  int SectionCount() const;
  // The index-th section; nullptr when there is none.
  const XMLSection* SectionAt(int index) const;

 private:
  friend class XMLParser;
  friend struct XMLNodeRecord;
  explicit XMLNode(std::shared_ptr<XMLNodeRecord> record) : m_record(std::move(record)) {}

  std::shared_ptr<XMLNodeRecord> m_record;
};

// One element of a parsed tree. The parent reference does not own.
struct XMLNodeRecord {
  std::optional<std::string> name;  // none for the document node
  std::vector<XMLNode> children;
  std::vector<std::string> texts;
  std::vector<XMLSection> sections;
  std::vector<std::pair<std::string, std::optional<std::string>>> attributes;
  bool is_declaration = false;
  std::weak_ptr<XMLNodeRecord> parent;

  XMLNodeRecord() = default;
  XMLNodeRecord(const XMLNodeRecord&) = delete;
  XMLNodeRecord& operator=(const XMLNodeRecord&) = delete;
  // Frees the subtree without recursion, so hostile nesting depth cannot exhaust the stack.
  ~XMLNodeRecord();
};

// The fixed message of a result code ("Unknown" for codes outside the table).
const char* XMLErrorText(int code);
