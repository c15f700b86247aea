// Positions of records and of the first fault, while xml_positions is set.
#include <gtest/gtest.h>

#include <string>

#include "tests/xml/xml_test_support.h"
#include "xml/xmlentity.h"

namespace {

using xmltest::open_text;

struct Positioned {
  XMLENTITY *doc;
  int status;
  XMLFAULT fault;
};

Positioned read_positioned(const std::string &text, size_t buffer = 0) {
  FILE *f = open_text(text, buffer);
  Positioned r;
  r.status = 0;
  xml_positions = 1;
  r.doc = readfile_XMLENTITY(f, &r.status);
  xml_positions = 0;
  r.fault = *xml_first_fault();
  fclose(f);
  return r;
}

std::string at(int line, int column) { return std::to_string(line) + ":" + std::to_string(column); }
std::string at(const XMLENTITY *e) { return at(e->line, e->column); }
std::string text_at(const XMLENTITY *e) { return at(e->text_line, e->text_column); }
std::string at(const XMLPOSITION &p) { return at((int)p.line, (int)p.column); }

TEST(XmlPositions, RecordsAttributesAndTextsKnowWhereTheyStart) {
  Positioned r = read_positioned("\xEF\xBB\xBF<kpm>\n"
                                 "  <load a=\"1\"\n"
                                 "        b=2>  x\n"
                                 "    <!-- c --><lf\toc=\"o\"/>\r\n"
                                 "  </load>\n"
                                 "</kpm>\n");
  ASSERT_EQ(r.status, 0);
  ASSERT_NE(r.doc, nullptr);
  EXPECT_EQ(at(r.doc), "1:4"); // after the three bytes of the byte order mark
  EXPECT_EQ(text_at(r.doc), "0:0");
  XMLENTITY *load = r.doc->child;
  EXPECT_EQ(at(load), "2:3");
  EXPECT_EQ(at(load->attr), "2:9");
  EXPECT_EQ(at(load->attr->next), "3:9");
  EXPECT_EQ(text_at(load), "3:15");
  XMLENTITY *comment = load->child;
  EXPECT_EQ(at(comment), "4:5");
  EXPECT_EQ(at(comment->next), "4:15");
  EXPECT_EQ(at(comment->next->attr), "4:19");
  EXPECT_EQ(r.fault.kind, XML_FAULT_NONE);
  free_XMLENTITY(r.doc);

  // Without the switch nothing is recorded.
  FILE *f = open_text("<a b=\"1\">x</a>");
  int status = 0;
  XMLENTITY *doc = readfile_XMLENTITY(f, &status);
  fclose(f);
  EXPECT_EQ(at(doc) + text_at(doc) + at(doc->attr), "0:00:00:0");
  free_XMLENTITY(doc);
}

struct FaultCase {
  std::string text;
  int kind;
  int what;
  std::string at;   // where it is found
  std::string open; // where the item concerned starts
  long limit;
};

const std::string BIG(70000, 'x');

const FaultCase kFaults[] = {
    {"<kpm>\n <load>\n  <name>A</load>\n</kpm>", XML_FAULT_END_TAG, XML_ITEM_CONTENT, "3:10", "3:3", 0},
    {"<kpm>\n <load>\n  <name>A</name x>\n", XML_FAULT_END_TAG_CLOSE, XML_ITEM_CONTENT, "3:17", "3:3", 0},
    {"<kpm>\n <load>\n  <name>A</name>", XML_FAULT_EOF, XML_ITEM_CONTENT, "3:17", "2:2", 0},
    {"<kpm>\n <!-- open\n", XML_FAULT_EOF, XML_ITEM_COMMENT, "3:1", "2:2", 0},
    {"<kpm>\n <lf oc=\"a\"", XML_FAULT_EOF, XML_ITEM_TAG, "2:12", "2:2", 0},
    {"<kpm>\n <!-- " + BIG + " -->", XML_FAULT_OVERRUN, XML_ITEM_COMMENT, "2:65541", "2:2", 65532},
    {"<kpm>\n <x " + BIG + ">", XML_FAULT_OVERRUN, XML_ITEM_TAG, "2:65538", "2:2", 65534},
    {"<kpm>" + BIG + "</kpm>", XML_FAULT_OVERRUN, XML_ITEM_CONTENT, "1:65541", "1:1", 65535},
    {"<kpm>\n <!DOCTYPE x>", XML_FAULT_DECLARATION, XML_ITEM_DECLARATION, "2:13", "2:2", 0},
    {"<kpm>\n p<!>q</kpm>", XML_FAULT_EMPTY_DECLARATION, XML_ITEM_DECLARATION, "2:5", "2:3", 0},
    {"<kpm>\n <!- x -></kpm>", XML_FAULT_NOT_COMMENT, XML_ITEM_COMMENT, "2:5", "2:2", 0},
    {"<kpm>\n <![CDATX[ x ]]></kpm>", XML_FAULT_NOT_CDATA, XML_ITEM_CDATA, "2:10", "2:2", 0},
    {"<kpm>\n <!-- a <!-- b --> --></kpm>", XML_FAULT_NESTED_COMMENT, XML_ITEM_COMMENT, "2:18", "2:2", 0},
    // The first fault is the one kept: the inner end tag, not the root's cut-off content.
    {"<kpm>\n <a>\n  <b></a>\n", XML_FAULT_END_TAG, XML_ITEM_CONTENT, "3:6", "3:3", 0},
    {xmltest::repeat("<a>", 1025), XML_FAULT_NESTING, XML_ITEM_TAG, "1:3073", "1:3073", XML_MAX_DEPTH},
};

TEST(XmlPositions, TheFirstFaultIsKeptWithItsPlace) {
  for (size_t buffer : {0, 7}) {
    for (const FaultCase &c : kFaults) {
      SCOPED_TRACE(c.text.size() > 80 ? c.text.substr(0, 80) : c.text);
      Positioned r = read_positioned(c.text, buffer);
      EXPECT_NE(r.status, 0);
      EXPECT_EQ(r.fault.kind, c.kind);
      EXPECT_EQ(r.fault.status, r.fault.kind == XML_FAULT_EOF ? XML_EOF
                                : r.fault.kind == XML_FAULT_OVERRUN || r.fault.kind == XML_FAULT_NESTING
                                    ? XML_OVERRUN
                                    : XML_MALFORMED);
      EXPECT_EQ(r.fault.what, c.what);
      EXPECT_EQ(at(r.fault.at), c.at);
      EXPECT_EQ(at(r.fault.open), c.open);
      EXPECT_EQ(r.fault.limit, c.limit);
      free_XMLENTITY(r.doc);
    }
  }
}

TEST(XmlPositions, AFaultThatCountsForNothingLeavesTheStatusAlone) {
  Positioned r = read_positioned("<kpm/>\n<!-- left open");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.fault.kind, XML_FAULT_EOF); // kept, but the status says it does not count
  free_XMLENTITY(r.doc);
  r = read_positioned("<kpm><name>A</name></kpm>");
  EXPECT_EQ(r.fault.kind, XML_FAULT_NONE);
  EXPECT_STREQ(r.fault.element, "");
  free_XMLENTITY(r.doc);
}

TEST(XmlPositions, EndTagFaultsNameTheOpenElement) {
  Positioned r = read_positioned("<kpm><Load></load></kpm>");
  EXPECT_EQ(r.fault.kind, XML_FAULT_END_TAG);
  EXPECT_STREQ(r.fault.element, "Load");
  EXPECT_EQ(r.fault.at.offset, 11); // the "</", so that the end tag can be quoted from the file
  free_XMLENTITY(r.doc);
}

} // namespace
