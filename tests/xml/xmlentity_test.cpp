// XMLENTITY records: making, copying, releasing, lower-casing, finding, printing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/xml/xml_test_support.h"
#include "xml/xmlentity.h"

using namespace xmltest;

namespace {

XMLENTITY *read_text(const std::string &text) {
  FILE *f = open_text(text);
  int status = 0;
  XMLENTITY *doc = readfile_XMLENTITY(f, &status);
  fclose(f);
  return doc;
}

std::string printed(XMLENTITY *e, int depth) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  print_XMLENTITY(f, e, depth);
  fclose(f);
  std::string out(buf, size);
  free(buf);
  return out;
}

TEST(XmlEntity, NewRecordIsAllZero) {
  XMLENTITY *e = alloc_XMLENTITY();
  EXPECT_EQ(e->name, nullptr);
  EXPECT_EQ(e->data, nullptr);
  EXPECT_EQ(e->type, XML_UNKNOWN);
  EXPECT_EQ(e->child, nullptr);
  EXPECT_EQ(e->attr, nullptr);
  EXPECT_EQ(e->next, nullptr);
  EXPECT_EQ(e->errflag, 0);
  free_XMLENTITY(e);
}

TEST(XmlEntity, CopyIsFreshAndExact) {
  const char empty[] = "";
  char *c = xmlcopystring(empty);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(c, empty);
  EXPECT_STREQ(c, "");
  xmlfreestring(c);
  const char text[] = "A b\xC3\xA9";
  c = xmlcopystring(text);
  EXPECT_NE(c, text);
  EXPECT_STREQ(c, text);
  xmlfreestring(c);
  EXPECT_EQ(xmlcopystring(nullptr), nullptr);

  // Every length up to past the short-text moves: exact bytes, one terminator.
  std::string source;
  for (int i = 0; i < 40; i++) source += (char)('a' + i % 26);
  for (size_t n = 0; n <= source.size(); n++) {
    c = xmlcopytext(source.data(), n);
    EXPECT_EQ(std::string(c), source.substr(0, n)) << n;
    xmlfreestring(c);
  }
}

TEST(XmlEntity, ReleasingTheSecondTopLevelRecordKeepsTheFirst) {
  XMLENTITY *doc = read_text("<a><b x=\"1\"/>t</a><c><d/></c><!-- e -->");
  ASSERT_NE(doc, nullptr);
  free_XMLENTITY(doc->next);
  doc->next = nullptr;
  EXPECT_EQ(describe(doc), "a{t}[b<x=1>]");
  free_XMLENTITY(doc);
  free_XMLENTITY(nullptr);
}

TEST(XmlEntity, LowercasingReachesChildNamesOnly) {
  XMLENTITY *doc = read_text("<LOAD Name=\"A1\"><PF>0.9</PF><!-- note --><![CDATA[Q]]><?PI X?></LOAD><NEXT/>");
  ASSERT_NE(doc, nullptr);
  lowercase_XMLENTITY(doc, 0);
  EXPECT_EQ(describe(doc), "load<Name=A1>{}[PF{0.9}, COMMENT{ note }, CDATA{Q}, PROCESSING INSTRUCTION{PI X}], NEXT");
  lowercase_XMLENTITY(doc, 1);
  EXPECT_EQ(describe(doc), "load<Name=A1>{}[pf{0.9}, comment{ note }, cdata{Q}, processing instruction{PI X}], NEXT");
  free_XMLENTITY(doc);
  lowercase_XMLENTITY(nullptr, 1);
}

TEST(XmlEntity, LowercasingChangesAsciiLettersOnly) {
  std::string s = "AZaz@[`{09 \xC4\xE9\xFF";
  xmllowerstring(&s[0]);
  EXPECT_EQ(s, "azaz@[`{09 \xC4\xE9\xFF");
  xmllowerstring(nullptr);
}

TEST(XmlEntity, FindSearchesDirectChildrenByExactName) {
  XMLENTITY *doc = read_text("<r k=\"1\"><a>1</a><B><c/></B><a>2</a></r>");
  ASSERT_NE(doc, nullptr);
  XMLENTITY *a = find_XMLENTITY(doc, "a");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->data, "1");
  EXPECT_NE(find_XMLENTITY(doc, "B"), nullptr);
  EXPECT_EQ(find_XMLENTITY(doc, "b"), nullptr);
  EXPECT_EQ(find_XMLENTITY(doc, "k"), nullptr);
  EXPECT_EQ(find_XMLENTITY(doc, "c"), nullptr);
  EXPECT_EQ(find_XMLENTITY(doc, nullptr), nullptr);
  EXPECT_EQ(find_XMLENTITY(nullptr, "a"), nullptr);
  free_XMLENTITY(doc);
}

TEST(XmlEntity, PrintWritesEachKindWithItsIndent) {
  XMLENTITY *doc = read_text("<r a=\"1\" b>t<e/><!-- c --><![CDATA[d]]><?p q?><!x><s> <u/> </s></r>");
  ASSERT_NE(doc, nullptr);
  doc->errflag = 2; // as a top-level status
  EXPECT_EQ(printed(doc, 1), " <r a=\"1\" b>[ENTITY_DATA errflag = 2]\n"
                             " {t}\n"
                             "  <e>[ENTITY_DATA errflag = 0]\n"
                             "  </e>\n"
                             "  <!--  c  -->\n"
                             "  <![CDATA[d]]>\n"
                             "  <?p q?>\n"
                             "  <s>[ENTITY_DATA errflag = 0]\n"
                             "  {}\n"
                             "   <u>[ENTITY_DATA errflag = 0]\n"
                             "   </u>\n"
                             "  </s>\n"
                             " </r>\n");
  EXPECT_EQ(printed(doc->child, -3), "<e>[ENTITY_DATA errflag = 0]\n</e>\n");
  free_XMLENTITY(doc);
}

TEST(XmlEntity, PrintSkipsDeclarationsSiblingsAndNull) {
  XMLENTITY *doc = read_text("<!DOCTYPE r><a/>");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(printed(doc, 0), "");
  EXPECT_EQ(printed(nullptr, 0), "");
  // Without a stream, standard output.
  testing::internal::CaptureStdout();
  print_XMLENTITY(nullptr, doc->next, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "<a>[ENTITY_DATA errflag = 0]\n</a>\n");
  free_XMLENTITY(doc);
}

TEST(XmlEntity, VerboseSwitchesOnAndOff) {
  EXPECT_EQ(xml_verbose, 0);
  xml_verbose_on();
  EXPECT_EQ(xml_verbose, 1);
  xml_verbose_off();
  EXPECT_EQ(xml_verbose, 0);
}

} // namespace

namespace {

// Records and strings come from shared blocks: long texts, many records and
// releases in any order must all come back intact.
TEST(XmlEntity, ManyRecordsAndLongTextsSurviveReleasesInAnyOrder) {
  std::string big(3 * 1024 * 1024 + 7, 'x');
  std::string mid(300 * 1024, 'y');
  char *b = xmlcopystring(big.c_str());
  char *m = xmlcopystring(mid.c_str());
  const int n = 200000; // several blocks' worth
  XMLENTITY *first = nullptr, *last = nullptr, *half = nullptr;
  for (int i = 0; i < n; i++) {
    XMLENTITY *e = alloc_XMLENTITY();
    e->name = xmlcopystring(std::to_string(i).c_str());
    if (last)
      last->next = e;
    else
      first = e;
    last = e;
    if (i == n / 2 - 1) half = e;
  }
  XMLENTITY *second = half->next;
  half->next = nullptr;
  free_XMLENTITY(second); // the later half first
  EXPECT_EQ(big, b);
  EXPECT_EQ(mid, m);
  int i = 0;
  for (XMLENTITY *e = first; e; e = e->next, i++) ASSERT_EQ(std::to_string(i), e->name);
  EXPECT_EQ(i, n / 2);
  xmlfreestring(b);
  free_XMLENTITY(first);
  XMLENTITY *again = alloc_XMLENTITY();
  again->data = xmlcopystring(mid.c_str());
  EXPECT_EQ(mid, again->data);
  xmlfreestring(m);
  free_XMLENTITY(again);
}

} // namespace
