// libFuzzer target for the XML reader: device descriptions and SOAP replies come from other
// machines, so any input must parse (or fail) without crashing, hanging or running out of memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/XmlNode.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Touches every node and checks the accessors agree with one another, without recursion.
void Walk(const XMLNode& root) {
  std::vector<XMLNode> pending{root};
  while (!pending.empty()) {
    XMLNode node = pending.back();
    pending.pop_back();
    for (int i = 0; i < node.TextCount(); ++i) Check(node.TextAt(i) != nullptr);
    Check(node.TextAt(node.TextCount()) == nullptr);
    for (int i = 0; i < node.AttributeCount(); ++i) Check(node.AttributeNameAt(i) != nullptr);
    for (int i = 0; i < node.SectionCount(); ++i) Check(node.SectionAt(i)->open_marker != nullptr);
    for (int i = 0; i < node.ChildCount(); ++i) {
      XMLNode child = node.ChildAt(i);
      Check(child.Name() != nullptr);
      if (i == 0) {
        const int count = node.CountChildrenByName(child.Name());
        Check(count >= 1);
        Check(!node.ChildByName(child.Name(), count - 1).IsNull());
        Check(node.ChildByName(child.Name(), count).IsNull());
      }
      pending.push_back(child);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  XMLParseResult result;
  XMLNode document = XMLNode::Parse(text.c_str(), nullptr, &result);
  Check(document.IsNull() ==
        (result.code != XML_OK && result.code != XML_WARNING_UNMATCHED_END_TAG));
  if (document.IsNull()) {
    Check(result.line >= 1 && result.column >= 1);
    Check(static_cast<size_t>(result.line) <= size + 1 &&
          static_cast<size_t>(result.column) <= size + 1);
  } else {
    Walk(document);
  }
  XMLNode envelope = XMLNode::Parse(text.c_str(), "s:Envelope", &result);
  Walk(envelope.ChildByName("s:Body").ChildAt(0));
  return 0;
}
