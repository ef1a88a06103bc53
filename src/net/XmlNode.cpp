#include "net/XmlNode.h"

#include "base/AsciiText.h"

namespace {

template <typename T>
const T* Item(const std::vector<T>& list, int index) {
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return nullptr;
  return &list[static_cast<size_t>(index)];
}

}  // namespace

XMLNodeRecord::~XMLNodeRecord() {
  // Detach the children of every record about to die before it dies, so no destructor recurses.
  std::vector<std::shared_ptr<XMLNodeRecord>> doomed;
  for (XMLNode& child : children) doomed.push_back(std::move(child.m_record));
  children.clear();
  while (!doomed.empty()) {
    std::shared_ptr<XMLNodeRecord> record = std::move(doomed.back());
    doomed.pop_back();
    if (record && record.use_count() == 1) {
      for (XMLNode& child : record->children) doomed.push_back(std::move(child.m_record));
      record->children.clear();
    }
  }
}

XMLNode XMLNode::ChildByName(std::string_view name, int index) const {
  if (index < 0) return {};
  int cursor = 0;
  XMLNode found;
  for (int k = 0; k <= index; ++k) {
    found = NextChildByName(name, &cursor);
    if (found.IsNull()) break;
  }
  return found;
}

XMLNode XMLNode::NextChildByName(std::string_view name, int* cursor) const {
  if (!m_record) return {};
  const int from = cursor ? *cursor : 0;
  for (int i = from < 0 ? 0 : from; i < ChildCount(); ++i) {
    const XMLNode& child = m_record->children[static_cast<size_t>(i)];
    if (tessel::EqualsNoCase(*child.m_record->name, name)) {
      if (cursor) *cursor = i + 1;
      return child;
    }
  }
  return {};
}

int XMLNode::CountChildrenByName(std::string_view name) const {
  if (!m_record) return 0;
  int count = 0;
  for (const XMLNode& child : m_record->children) {
    if (tessel::EqualsNoCase(*child.m_record->name, name)) ++count;
  }
  return count;
}

const char* XMLNode::TextAt(int index) const {
  const std::string* text = m_record ? Item(m_record->texts, index) : nullptr;
  return text ? text->c_str() : nullptr;
}

int XMLNode::TextCount() const {
  return m_record ? static_cast<int>(m_record->texts.size()) : 0;
}

XMLNode XMLNode::ChildAt(int index) const {
  const XMLNode* child = m_record ? Item(m_record->children, index) : nullptr;
  return child ? *child : XMLNode();
}

int XMLNode::ChildCount() const {
  return m_record ? static_cast<int>(m_record->children.size()) : 0;
}

const char* XMLNode::Name() const {
  return m_record && m_record->name ? m_record->name->c_str() : nullptr;
}

bool XMLNode::IsDeclaration() const {
  return m_record && m_record->is_declaration;
}

XMLNode XMLNode::Parent() const {
  return m_record ? XMLNode(m_record->parent.lock()) : XMLNode();
}

int XMLNode::AttributeCount() const {
  return m_record ? static_cast<int>(m_record->attributes.size()) : 0;
}

const char* XMLNode::AttributeNameAt(int index) const {
  const auto* attribute = m_record ? Item(m_record->attributes, index) : nullptr;
  return attribute ? attribute->first.c_str() : nullptr;
}

const char* XMLNode::AttributeValueAt(int index) const {
  const auto* attribute = m_record ? Item(m_record->attributes, index) : nullptr;
  return attribute && attribute->second ? attribute->second->c_str() : nullptr;
}

int XMLNode::SectionCount() const {
  return m_record ? static_cast<int>(m_record->sections.size()) : 0;
}

const XMLSection* XMLNode::SectionAt(int index) const {
  return m_record ? Item(m_record->sections, index) : nullptr;
}

const char* XMLErrorText(int code) {
  static constexpr const char* kTexts[] = {
      "No error",
      "Warning: Unmatched end tag",
      "Error: No XML data",
      "Error: First token not start tag",
      "Error: Missing start tag name",
      "Error: Missing end tag name",
      "Error: Unmatched quote",
      "Error: Unmatched end tag",
      "Error: Unexpected token found",
      "Error: Invalid tag found",
      "Error: No elements found",
      "Error: File not found",
      "Error: First Tag not found",
  };
  if (code < 0 || code >= static_cast<int>(std::size(kTexts))) return "Unknown";
  return kTexts[code];
}
