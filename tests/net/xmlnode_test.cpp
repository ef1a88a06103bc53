#include <gtest/gtest.h>

#include <string>

#include "net/XmlNode.h"

namespace {

XMLNode ParseOk(const char* text, XMLParseResult* result) {
  XMLNode node = XMLNode::Parse(text, nullptr, result);
  EXPECT_FALSE(node.IsNull()) << text;
  return node;
}

std::string Text(const XMLNode& node, int index = 0) {
  const char* text = node.TextAt(index);
  return text ? text : "<none>";
}

TEST(XmlNode, TextRunsAreTrimmedAndDecodedOnlyBeforeAnEndTag) {
  XMLParseResult result;
  XMLNode a = ParseOk("<a>x &amp; y</a>", &result).ChildByName("a");
  EXPECT_EQ(result.code, XML_OK);
  EXPECT_EQ(a.TextCount(), 1);
  EXPECT_EQ(Text(a), "x & y");

  // Text cut by a child tag stays as written.
  a = ParseOk("<a>x &amp; <b/></a>", &result).ChildByName("a");
  EXPECT_EQ(Text(a), "x &amp;");
  EXPECT_EQ(a.ChildCount(), 1);
  EXPECT_STREQ(a.ChildAt(0).Name(), "b");

  a = ParseOk("<a>  1 2  </a>", &result).ChildByName("a");
  EXPECT_EQ(Text(a), "1 2");

  a = ParseOk("<a>&LT;&Gt;&amp;&apos;&QUOT;</a>", &result).ChildByName("a");
  EXPECT_EQ(Text(a), "<>&'\"");

  // Quotes and "=" in content are text; "/" not followed by ">" too.
  a = ParseOk("<a>k = 'v' \"w\" a/b</a>", &result).ChildByName("a");
  EXPECT_EQ(Text(a), "k = 'v' \"w\" a/b");

  // Several runs around children, in order.
  a = ParseOk("<a>one<b/>two<c></c> three </a>", &result).ChildByName("a");
  ASSERT_EQ(a.TextCount(), 3);
  EXPECT_EQ(Text(a, 0), "one");
  EXPECT_EQ(Text(a, 1), "two");
  EXPECT_EQ(Text(a, 2), "three");
  EXPECT_EQ(a.TextAt(3), nullptr);
}

TEST(XmlNode, EndTagsMatchWithoutRegardToCaseAndCloseOpenChildren) {
  XMLParseResult result;
  ParseOk("<A>1</a>", &result);
  EXPECT_EQ(result.code, XML_OK);

  XMLNode a = ParseOk("<a><b></a>", &result).ChildByName("a");
  EXPECT_EQ(result.code, XML_WARNING_UNMATCHED_END_TAG);
  EXPECT_EQ(a.CountChildrenByName("b"), 1);

  // The end tag completes every element up to the one it names; parsing goes on after it.
  XMLNode doc = ParseOk("<r><a><b><c></a><d/></r>", &result);
  EXPECT_EQ(result.code, XML_WARNING_UNMATCHED_END_TAG);
  XMLNode r = doc.ChildByName("r");
  EXPECT_EQ(r.ChildCount(), 2);
  EXPECT_STREQ(r.ChildAt(1).Name(), "d");
  EXPECT_EQ(r.ChildAt(0).ChildByName("b").ChildCount(), 1);

  // An end tag that closes nothing open.
  EXPECT_TRUE(XMLNode::Parse("<a><b></c></a>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_UNMATCHED_END_TAG);
  EXPECT_EQ(result.line, 1);
  EXPECT_EQ(result.column, 11);

  doc = ParseOk("</x><y/>", &result);
  EXPECT_EQ(result.code, XML_WARNING_UNMATCHED_END_TAG);
  EXPECT_EQ(doc.ChildCount(), 0);
  EXPECT_EQ(doc.Name(), nullptr);
}

TEST(XmlNode, AttributesAndDeclarations) {
  XMLParseResult result;
  XMLNode a = ParseOk("<a x=1 y='2' z w=\"&lt;&amp;\">", &result).ChildByName("a");
  EXPECT_EQ(result.code, XML_OK);
  ASSERT_EQ(a.AttributeCount(), 4);
  EXPECT_STREQ(a.AttributeNameAt(0), "x");
  EXPECT_STREQ(a.AttributeValueAt(0), "1");
  EXPECT_STREQ(a.AttributeNameAt(1), "y");
  EXPECT_STREQ(a.AttributeValueAt(1), "2");
  EXPECT_STREQ(a.AttributeNameAt(2), "z");
  EXPECT_EQ(a.AttributeValueAt(2), nullptr);
  EXPECT_STREQ(a.AttributeValueAt(3), "<&");
  EXPECT_EQ(a.AttributeNameAt(4), nullptr);

  // An element left open at the end of input stays, with code 0.
  a = ParseOk("<a", &result).ChildByName("a");
  EXPECT_FALSE(a.IsNull());
  EXPECT_EQ(result.code, XML_OK);

  // Everything after a declaration is its content; the first-tag search looks inside.
  XMLNode doc = ParseOk("<?xml version=\"1.0\"?><root/>", &result);
  XMLNode xml = doc.ChildAt(0);
  EXPECT_TRUE(xml.IsDeclaration());
  EXPECT_STREQ(xml.Name(), "xml");
  ASSERT_EQ(xml.AttributeCount(), 1);
  EXPECT_STREQ(xml.AttributeValueAt(0), "1.0");
  EXPECT_STREQ(xml.ChildAt(0).Name(), "root");
  XMLNode root = XMLNode::Parse("<?xml version=\"1.0\"?><root/>", "ROOT", &result);
  EXPECT_STREQ(root.Name(), "root");
  EXPECT_EQ(result.code, XML_OK);

  // A trailing "?" of an unquoted value or a lone name belongs to the declaration's end.
  xml = ParseOk("<?xml v=1.0 standalone?>", &result).ChildAt(0);
  ASSERT_EQ(xml.AttributeCount(), 2);
  EXPECT_STREQ(xml.AttributeValueAt(0), "1.0");
  EXPECT_STREQ(xml.AttributeNameAt(1), "standalone");

  // Only elements after the declarations are searched; non-declarations are not entered.
  root = XMLNode::Parse("<a><root/></a>", "root", &result);
  EXPECT_TRUE(root.IsNull());
  EXPECT_EQ(result.code, XML_FIRST_TAG_NOT_FOUND);
}

TEST(XmlNode, EmptyOrMissingInput) {
  XMLParseResult result{99, 9, 9};
  EXPECT_TRUE(XMLNode::Parse("", "root", &result).IsNull());
  EXPECT_EQ(result.code, XML_FIRST_TAG_NOT_FOUND);
  EXPECT_EQ(result.line, 0);
  EXPECT_EQ(result.column, 0);

  XMLNode doc = XMLNode::Parse("", nullptr, &result);
  EXPECT_FALSE(doc.IsNull());
  EXPECT_EQ(doc.ChildCount(), 0);
  EXPECT_EQ(result.code, XML_OK);

  EXPECT_TRUE(XMLNode::Parse(nullptr, nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_NO_ELEMENTS);

  EXPECT_STREQ(XMLErrorText(0), "No error");
  EXPECT_STREQ(XMLErrorText(7), "Error: Unmatched end tag");
  EXPECT_STREQ(XMLErrorText(12), "Error: First Tag not found");
  EXPECT_STREQ(XMLErrorText(13), "Unknown");
  EXPECT_STREQ(XMLErrorText(-1), "Unknown");
}

TEST(XmlNode, SectionsAreOpaque) {
  XMLParseResult result;
  XMLNode a = ParseOk("<a><!-- </a> --></a>", &result).ChildByName("a");
  ASSERT_EQ(a.SectionCount(), 1);
  EXPECT_EQ(a.SectionAt(0)->content, " </a> ");
  EXPECT_STREQ(a.SectionAt(0)->open_marker, "<!--");
  EXPECT_STREQ(a.SectionAt(0)->close_marker, "-->");
  EXPECT_EQ(a.TextCount(), 0);

  a = ParseOk("<a><!----></a>", &result).ChildByName("a");
  ASSERT_EQ(a.SectionCount(), 1);
  EXPECT_EQ(a.SectionAt(0)->content, "");

  // Opening markers ignore letter case; closing markers do not. Content is never decoded.
  a = ParseOk("<a>t<![cdata[<b>&amp;]]><pre>x</PRE><Script>y</pre></Script></a>", &result)
          .ChildByName("a");
  ASSERT_EQ(a.SectionCount(), 3);
  EXPECT_EQ(a.SectionAt(0)->content, "<b>&amp;");
  EXPECT_EQ(a.SectionAt(1)->content, "x");
  EXPECT_EQ(a.SectionAt(2)->content, "y</pre>");
  EXPECT_EQ(a.ChildCount(), 0);
  EXPECT_EQ(Text(a), "t");

  XMLNode doc = ParseOk("<!DOCTYPE html><html/>", &result);
  EXPECT_EQ(doc.SectionAt(0)->content, " html");
  EXPECT_EQ(doc.CountChildrenByName("html"), 1);

  EXPECT_TRUE(XMLNode::Parse("<a><!-- open", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_UNMATCHED_END_TAG);
  EXPECT_TRUE(XMLNode::Parse("<a><pre>x</pre>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_UNMATCHED_END_TAG);
}

TEST(XmlNode, UnknownEntitiesAreReportedAndKept) {
  XMLParseResult result;
  testing::internal::CaptureStderr();
  XMLNode a = ParseOk("<a>&#65;&amp</a>", &result).ChildByName("a");
  std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result.code, XML_OK);
  EXPECT_EQ(Text(a), "&#65;&amp");
  EXPECT_EQ(messages, "unknown escape character: '&#65'\nunknown escape character: '&amp'\n");

  testing::internal::CaptureStderr();
  a = ParseOk("<a v='&abcdefghijklmnop;'>&</a>", &result).ChildByName("a");
  messages = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(a.AttributeValueAt(0), "&abcdefghijklmnop;");
  EXPECT_EQ(Text(a), "&");
  EXPECT_EQ(messages, "unknown escape character: '&abcdefghij'\nunknown escape character: '&'\n");

  // Another machine's text neither writes control characters out nor floods the output.
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "&x;";
  testing::internal::CaptureStderr();
  a = ParseOk(("<a>&\x1b[2J\n;</a><b>" + many + "</b>").c_str(), &result).ChildByName("a");
  messages = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Text(a), "&\x1b[2J\n;");
  EXPECT_EQ(messages.substr(0, messages.find('\n') + 1), "unknown escape character: '&?[2J?'\n");
  EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 10);
}

TEST(XmlNode, FailuresGiveTheNullNodeWithLineAndColumn) {
  XMLParseResult result;
  EXPECT_TRUE(XMLNode::Parse("<a>\n<b>></b></a>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_UNEXPECTED_TOKEN);
  EXPECT_EQ(result.line, 2);
  EXPECT_EQ(result.column, 5);

  EXPECT_TRUE(XMLNode::Parse("\r\n\n  <>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_MISSING_START_TAG_NAME);
  EXPECT_EQ(result.line, 3);
  EXPECT_EQ(result.column, 5);

  EXPECT_TRUE(XMLNode::Parse("<a></a b>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_MISSING_END_TAG_NAME);
  EXPECT_TRUE(XMLNode::Parse("<a></>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_MISSING_END_TAG_NAME);

  EXPECT_TRUE(XMLNode::Parse("<a x=>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_UNEXPECTED_TOKEN);
  EXPECT_TRUE(XMLNode::Parse("<a x y =<", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_UNEXPECTED_TOKEN);
  EXPECT_TRUE(XMLNode::Parse("<a/>/>", nullptr, &result).IsNull());
  EXPECT_EQ(result.code, XML_UNEXPECTED_TOKEN);

  // An unterminated quote is text, not a failure.
  XMLNode a = ParseOk("<a>'it</a>", &result).ChildByName("a");
  EXPECT_EQ(Text(a), "'it");
  a = ParseOk("<a v='x>", &result).ChildByName("a");
  EXPECT_STREQ(a.AttributeValueAt(0), "'x");
}

TEST(XmlNode, HandlesShareTheTreeAndNullAnswersNothing) {
  XMLNode b;
  {
    XMLNode doc = XMLNode::Parse("<a><b><c>t</c></b><B/><x/><b/></a>");
    XMLNode a = doc.ChildByName("a");
    EXPECT_EQ(a.CountChildrenByName("b"), 3);
    EXPECT_STREQ(a.ChildByName("b", 1).Name(), "B");
    EXPECT_TRUE(a.ChildByName("b", 3).IsNull());
    EXPECT_TRUE(a.ChildByName("b", -1).IsNull());

    int cursor = 0;
    EXPECT_EQ(a.NextChildByName("b", &cursor).ChildCount(), 1);
    EXPECT_EQ(cursor, 1);
    EXPECT_STREQ(a.NextChildByName("b", &cursor).Name(), "B");
    EXPECT_FALSE(a.NextChildByName("b", &cursor).IsNull());
    EXPECT_EQ(cursor, 4);
    EXPECT_TRUE(a.NextChildByName("b", &cursor).IsNull());
    EXPECT_EQ(cursor, 4);

    b = a.ChildAt(0);
    EXPECT_STREQ(b.Parent().Name(), "a");
  }
  // The subtree outlives the document; its parent is gone.
  EXPECT_TRUE(b.Parent().IsNull());
  EXPECT_EQ(Text(b.ChildByName("c")), "t");

  XMLNode null;
  EXPECT_TRUE(null.IsNull());
  EXPECT_TRUE(null.ChildByName("a").IsNull());
  EXPECT_TRUE(null.ChildAt(0).IsNull());
  EXPECT_EQ(null.CountChildrenByName("a"), 0);
  EXPECT_EQ(null.ChildCount(), 0);
  EXPECT_EQ(null.TextAt(0), nullptr);
  EXPECT_EQ(null.Name(), nullptr);
  EXPECT_FALSE(null.IsDeclaration());
  EXPECT_EQ(null.AttributeNameAt(0), nullptr);
  EXPECT_EQ(null.SectionAt(0), nullptr);
  EXPECT_TRUE(null.Parent().IsNull());
}

TEST(XmlNode, HostileInputNeitherRecursesNorStalls) {
  // Deep nesting is parsed and freed without recursion.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  XMLParseResult result;
  XMLNode doc = XMLNode::Parse(deep.c_str(), nullptr, &result);
  EXPECT_EQ(result.code, XML_OK);
  XMLNode inner = doc;
  int depth = 0;
  while (inner.ChildCount() > 0) {
    inner = inner.ChildAt(0);
    ++depth;
  }
  EXPECT_EQ(depth, 100000);
  doc = XMLNode();  // the innermost handle keeps only itself alive
  EXPECT_STREQ(inner.Name(), "a");
  inner = XMLNode();

  // Many unterminated quotes and sections scan linearly.
  std::string quotes(300000, '"');
  quotes.insert(0, "<a>");
  EXPECT_FALSE(XMLNode::Parse(quotes.c_str()).IsNull());
  std::string sections;
  for (int i = 0; i < 50000; ++i) sections += "<!---->";
  EXPECT_EQ(XMLNode::Parse(sections.c_str()).SectionCount(), 50000);
}

}  // namespace
