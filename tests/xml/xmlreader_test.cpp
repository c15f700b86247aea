// The XML reader: outcomes, statuses, limits, tag splitting and traces.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "tests/xml/xml_test_support.h"
#include "xml/xmlentity.h"

using namespace xmltest;

namespace {

// Stream text after the "<" that the caller of fget_XMLENTITY has consumed.
struct ItemResult {
  XMLENTITY *e;
  int status;
  std::string rest;  // what the item left in the stream
  std::string trace; // stdout while xml_verbose is on
};

ItemResult read_item(const std::string &after_lt, int status_in = 0, size_t buffer = 0) {
  FILE *f = open_text(after_lt, buffer);
  ItemResult r;
  r.status = status_in;
  xml_verbose_on();
  testing::internal::CaptureStdout();
  r.e = fget_XMLENTITY(f, &r.status);
  r.trace = testing::internal::GetCapturedStdout();
  xml_verbose_off();
  r.rest = rest_of(f);
  return r;
}

struct DocResult {
  XMLENTITY *doc;
  int status;
};

DocResult read_doc(const std::string &text) {
  FILE *f = open_text(text);
  DocResult r;
  r.status = -7;
  r.doc = readfile_XMLENTITY(f, &r.status);
  fclose(f);
  return r;
}

const std::string ENTER = "{Entering fget_XMLENTITY: *errflag = 0}\n";

// One row per outcome of an item: status and trace lines after the entering line.
struct OutcomeCase {
  const char *input;   // after "<"
  size_t input_length; // 0: strlen(input); set for inputs with NUL bytes
  int status;
  const char *record; // describe() of the record, null for none
  int type;           // of the record
  const char *rest;
  const char *trace;
};

const OutcomeCase kOutcomes[] = {
    {"/a>", 0, 4, nullptr, 0, "a>", "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"},
    {"!>x", 0, 2, nullptr, 0, "x", "{Exiting fget_XMLENTITY empty tag: *errflag = 2}\n"},
    {"!-x-->", 0, 2, nullptr, 0, "-->", "{fget_XMLENTITY in comment, not quite a comment: *errflag = 2}\n"},
    {"!-", 0, 2, nullptr, 0, "", "{fget_XMLENTITY in comment, not quite a comment: *errflag = 2}\n"},
    {"!--a-b--->z", 0, 0, "COMMENT{a-b-}", XML_COMMENT, "z",
     "{fget_XMLENTITY reading comment: *errflag = 0}\n"
     "{fget_XMLENTITY in comment, comment done: *errflag = 0}\n{a-b-}\n"},
    {"!---->", 0, 0, "COMMENT{}", XML_COMMENT, "",
     "{fget_XMLENTITY reading comment: *errflag = 0}\n"
     "{fget_XMLENTITY in comment, comment done: *errflag = 0}\n{}\n"},
    {"!--->-->", 0, 0, "COMMENT{->}", XML_COMMENT, "",
     "{fget_XMLENTITY reading comment: *errflag = 0}\n"
     "{fget_XMLENTITY in comment, comment done: *errflag = 0}\n{->}\n"},
    {"!--a--", 0, 1, nullptr, 0, "",
     "{fget_XMLENTITY reading comment: *errflag = 0}\n"
     "{Exiting fget_XMLENTITY unanticipated EOF: *errflag = 1}\n"},
    {"![CDAT", 0, 1, nullptr, 0, "", "{Exiting fget_XMLENTITY unanticipated EOF: *errflag = 1}\n"},
    {"![CDATX[x]]>", 0, 2, nullptr, 0, "x]]>", "{Exiting fget_XMLENTITY not CDATA ([CDATX[): *errflag = 2}\n"},
    {"![cdata[x]]>", 0, 2, nullptr, 0, "x]]>", "{Exiting fget_XMLENTITY not CDATA ([cdata[): *errflag = 2}\n"},
    {"![CD\0TA[x", 9, 2, nullptr, 0, "x", "{Exiting fget_XMLENTITY not CDATA ([CD): *errflag = 2}\n"},
    {"![CDATA[a]<b>]]]>z", 0, 0, "CDATA{a]<b>]}", XML_CDATA, "z",
     "{Reading CDATA in fget_XMLENTITY: *errflag = 0}\n"
     "{Done Reading CDATA in fget_XMLENTITY: *errflag = 0}\n"},
    {"![CDATA[a]]", 0, 1, nullptr, 0, "", "{Reading CDATA in fget_XMLENTITY: *errflag = 0}\n"},
    {"!DOCTYPE a [<!ELEMENT a ANY>] >z", 0, 2, "UNKNOWN{DOCTYPE a [<!ELEMENT a ANY>] }", XML_UNKNOWN, "z",
     "{Done reading other command: *errflag = 2}\n"},
    // The first character neither opens nor closes.
    {"!<>z", 0, 2, "UNKNOWN{<}", XML_UNKNOWN, "z", "{Done reading other command: *errflag = 2}\n"},
    {"!x<>", 0, 1, nullptr, 0, "", "{EOF Reading other command in fget_XMLENTITY: *errflag = 1}\n"},
    {"!", 0, 1, nullptr, 0, "", "{EOF Reading other command in fget_XMLENTITY: *errflag = 1}\n"},
    {"? xml v=\"1\" ?\?>z", 0, 0, "PROCESSING INSTRUCTION{xml v=\"1\" ?}", XML_PI, "z",
     "{Done Reading PI in fget_XMLENTITY: *errflag = 0}\n"},
    {"?\?>", 0, 0, "PROCESSING INSTRUCTION{}", XML_PI, "", "{Done Reading PI in fget_XMLENTITY: *errflag = 0}\n"},
    {"?x>?", 0, 1, nullptr, 0, "", "{EOF Reading PI in fget_XMLENTITY: *errflag = 1}\n"},
    {"", 0, 1, nullptr, 0, "", ""},
    {"a b=\"1\"", 0, 1, nullptr, 0, "", ""},
    {"a x='1'/>z", 0, 0, "a<x='1'>", XML_ELEMENT, "z", "{Empty Element tag <a> in fget_XMLENTITY: *errflag = 0}\n"},
    {"c\0/>z", 5, 0, "c", XML_ELEMENT, "z", "{Empty Element tag <c> in fget_XMLENTITY: *errflag = 0}\n"},
    {"a>x</ab>", 0, 2, "a{x}", XML_ELEMENT, ">",
     "{Start tag <a> in fget_XMLENTITY: *errflag = 0}\n"
     "{Entering fget_XMLENTITY: *errflag = 0}\n"
     "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
     "{improper end of tag <a> in fget_XMLENTITY: *errflag = 2}\n"
     "{End of tag <a> in fget_XMLENTITY: *errflag = 2}\n{x}\n"},
    {"ab> x </ac>", 0, 2, "ab{ x }", XML_ELEMENT, ">",
     "{Start tag <ab> in fget_XMLENTITY: *errflag = 0}\n"
     "{Entering fget_XMLENTITY: *errflag = 0}\n"
     "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
     "{wrong endtag (j=1)to <ab> in fget_XMLENTITY: *errflag = 2}\n"},
};

TEST(XmlReader, EachItemOutcomeGivesItsStatusRecordRestAndTrace) {
  for (const OutcomeCase &c : kOutcomes) {
    std::string input(c.input, c.input_length ? c.input_length : strlen(c.input));
    SCOPED_TRACE(input);
    ItemResult r = read_item(input);
    EXPECT_EQ(r.status, c.status);
    if (c.record) {
      ASSERT_NE(r.e, nullptr);
      EXPECT_EQ(describe(r.e), c.record);
      EXPECT_EQ(r.e->type, c.type);
      EXPECT_EQ(r.e->errflag, 0);
    } else {
      EXPECT_EQ(r.e, nullptr);
    }
    EXPECT_EQ(r.rest, c.rest);
    EXPECT_EQ(r.trace, ENTER + c.trace);
    free_XMLENTITY(r.e);
  }
}

// Each text limit at its longest accepted length, one past it and far past it.
struct LimitCase {
  const char *label;
  std::function<std::string(int)> input; // after "<", with a text of n characters
  int longest;
  int ok_status;   // at the longest length
  size_t consumed; // characters of the input read when the text is too long
  bool far;        // whether a much longer text stops at the same point
  bool cut_off;    // too long: the partly read record comes back
  std::function<size_t(const XMLENTITY *)> text_length;
  const char *overrun_trace; // after the entering line
};

size_t data_length(const XMLENTITY *e) { return strlen(e->data); }

const LimitCase kLimits[] = {
    {"tag", [](int n) { return std::string(n - 1, 'a') + "/>REST"; }, 65534, 0, 65536, true, false,
     [](const XMLENTITY *e) { return strlen(e->name) + 1; },
     "{Buffer overrun Reading tag in fget_XMLENTITY: *errflag = 3}\n"},
    {"comment", [](int n) { return "!--" + std::string(n, 'c') + "-->REST"; }, 65532, 0, 3 + 65536, true, false,
     data_length,
     "{fget_XMLENTITY reading comment: *errflag = 0}\n"
     "{fget_XMLENTITY in comment, buffer overrun: *errflag = 3}\n"},
    {"CDATA", [](int n) { return "![CDATA[" + std::string(n, 'd') + "]]>REST"; }, 65532, 0, 8 + 65536, true, false,
     data_length,
     "{Reading CDATA in fget_XMLENTITY: *errflag = 0}\n"
     "{Buffer overrun Reading CDATA in fget_XMLENTITY: *errflag = 3}\n"},
    // Counted before trimming.
    {"PI", [](int n) { return "? " + std::string(n - 2, 'p') + " ?>REST"; }, 65533, 0, 1 + 65536, true, false,
     [](const XMLENTITY *e) { return strlen(e->data) + 2; },
     "{Buffer overrun Reading PI in fget_XMLENTITY: *errflag = 3}\n"},
    {"declaration", [](int n) { return "!" + std::string(n, 'D') + ">REST"; }, 65535, 2, 1 + 65537, true, false,
     data_length, "{Buffer overrun Reading other cmd in fget_XMLENTITY: *errflag = 3}\n"},
    {"content", [](int n) { return "a>" + std::string(n, 'x') + "</a>REST"; }, 65535, 0, 2 + 65536, true, true,
     data_length, "{Start tag <a> in fget_XMLENTITY: *errflag = 0}\n"},
    // The "<" of a failed item counts once that item has been read.
    {"content ending in a failed item", [](int n) { return "a>" + std::string(n - 1, 'x') + "<!>" + "</a>REST"; },
     65535, 2, 2 + 65535 + 3, false, true, data_length,
     "{Start tag <a> in fget_XMLENTITY: *errflag = 0}\n"
     "{Entering fget_XMLENTITY: *errflag = 0}\n"
     "{Exiting fget_XMLENTITY empty tag: *errflag = 2}\n"},
};

// The reader takes runs of bytes straight from the stream's buffer: the limits
// must not depend on where the buffer's refills fall.
TEST(XmlReader, EachTextLimitHoldsAtItsBoundary) {
  for (size_t buffer : {0, 5, 100})
    for (const LimitCase &c : kLimits) {
      SCOPED_TRACE(c.label);
      SCOPED_TRACE(buffer);

      ItemResult ok = read_item(c.input(c.longest), 0, buffer);
      EXPECT_EQ(ok.status, c.ok_status);
      ASSERT_NE(ok.e, nullptr);
      EXPECT_EQ(c.text_length(ok.e), (size_t)c.longest);
      EXPECT_EQ(ok.rest, "REST");
      free_XMLENTITY(ok.e);

      for (int extra : {1, 1000}) {
        if (extra > 1 && !c.far) continue;
        SCOPED_TRACE(extra);
        std::string input = c.input(c.longest + extra);
        ItemResult over = read_item(input, 0, buffer);
        EXPECT_EQ(over.status, 3);
        EXPECT_EQ(over.rest, input.substr(c.consumed));
        EXPECT_EQ(over.trace, ENTER + c.overrun_trace);
        if (c.cut_off) {
          // The cut-off element comes back with its untrimmed text.
          ASSERT_NE(over.e, nullptr);
          EXPECT_EQ(over.e->type, XML_ELEMENT);
          EXPECT_EQ(strlen(over.e->data), (size_t)c.longest);
          free_XMLENTITY(over.e);
        } else {
          EXPECT_EQ(over.e, nullptr);
        }
      }
    }
}

TEST(XmlReader, ContentOverrunKeepsChildrenAndReachesTheDocumentStatus) {
  // The "y" overruns a; "</r>" is left for r, which closes cleanly.
  std::string text = "<r><a> <b/>" + std::string(65534, 'x') + "y</r>";
  DocResult d = read_doc(text);
  EXPECT_EQ(d.status, 3);
  ASSERT_NE(d.doc, nullptr);
  EXPECT_EQ(d.doc->errflag, 3);
  EXPECT_EQ(std::string(d.doc->data), "");
  XMLENTITY *a = d.doc->child;
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(describe(a->child), "b");
  EXPECT_EQ(std::string(a->data), " " + std::string(65534, 'x'));
  free_XMLENTITY(d.doc);
}

// Whole documents: the chain, its overall status and each top-level status.
struct DocCase {
  std::string text;
  std::string chain;    // describe() of the document chain
  int status;           // overall
  const char *errflags; // errflag of each top-level record, in order
};

const std::string BIG(65536, 'x'); // one character more than content holds

const DocCase kDocs[] = {
    {"", "", 0, ""},
    {"\xEF\xBB\xBF stray <a>x</a> tail", "a{x}", 0, "0"},
    {"<a/>", "a", 0, "0"},
    {"<a></a>", "a{}", 0, "0"},
    {"<a> x <b/> y </a>", "a{x  y}[b]", 0, "0"},
    {"<a>\n <b>1</b>\n <c>2</c>\n</a>", "a{}[b{1}, c{2}]", 0, "0"},
    {"<a>x&amp;y</a>", "a{x&amp;y}", 0, "0"},
    // Failed items leave their "<" in the text; a malformed or over-long one fails the element.
    {"<a>p<!>q</a>", "a{p<q}", 2, "2"},
    {"<a>p<!-q</a>", "a{p<}", 2, "2"},
    {"<a>p<![CDATX[q</a>", "a{p<q}", 2, "2"},
    {"<a>p<!--" + BIG + "-->q</a>", "a{p<-->q}", 3, "3"},
    {"<a>p<?" + BIG + "?>q</a>", "a{p<?>q}", 3, "3"},
    {"<a>p<b " + BIG + ">q</a>", "a{p<xx>q}", 3, "3"},
    // Comments do not nest: a comment whose text holds "<!--" is malformed.
    {"<a><!-- old <!-- note --> <b/> --></a>", "a{<  -->}[b]", 2, "2"},
    {"<a><!-- old -> <b/> <!-- x --></a>", "a{<}", 2, "2"},
    {"<a><!-- ---- old ---- --><b/></a>", "a{}[COMMENT{ ---- old ---- }, b]", 0, "0"},
    {"<!-- <!-- --><a/>", "a", 2, "0"},
    // Wrong end tags: what the comparison did not consume goes to the parent.
    {"<a><b>x</c></a>", "a{>}[b{x}]", 2, "2"},
    {"<r><a>x</ab></r>", "r{>}[a{x}]", 2, "2"},
    {"<r><a>x</ a></r>", "r{a>}[a{x}]", 2, "2"},
    {"<r><a>x</A></r>", "r{>}[a{x}]", 2, "2"},
    {"<a>x</a \t\n>", "a{x}", 0, "0"},
    {"<r><a>x</a y></r>", "r{>}[a{x}]", 2, "2"},
    // Stray end tags at the top level are dropped with their name and ">".
    {"</a><b/></c>", "b", 0, "0"},
    // The latest non-zero status of a child wins.
    {"<a><b>" + BIG + "<!d></a>", "a{}[b{" + BIG.substr(1) + "}, UNKNOWN{d}]", 2, "2"},
    {"<a><!d><b>" + BIG + "</a>", "a{}[UNKNOWN{d}, b{" + BIG.substr(1) + "}]", 3, "3"},
    // The same across the top-level items; those that yield no record count for nothing.
    {"<a>" + BIG + "</a><!d>", "a{" + BIG.substr(1) + "}, UNKNOWN{d}", 2, "32"},
    {"<!d><a>" + BIG + "</a>", "UNKNOWN{d}, a{" + BIG.substr(1) + "}", 3, "23"},
    {"<a/><!-- open", "a", 0, "0"},
    {"<!d><!-- open", "UNKNOWN{d}", 2, "2"},
    {"<a/><!->", "a", 2, "0"},
    {"<a/><!>", "a", 2, "0"},
    {"<!--" + BIG + "--><a/>", "a", 3, "0"},
    {"<!DOCTYPE r [<!ELEMENT r (#PCDATA)>]>\n<r>x</r>", "UNKNOWN{DOCTYPE r [<!ELEMENT r (#PCDATA)>]}, r{x}", 2, "20"},
    {"<?xml version=\"1.0\"?>\n<r/>", "PROCESSING INSTRUCTION{xml version=\"1.0\"}, r", 0, "00"},
    {"<r><!-- c --><![CDATA[ <d> ]]><?p q ?></r>", "r{}[COMMENT{ c }, CDATA{ <d> }, PROCESSING INSTRUCTION{p q}]", 0,
     "0"},
    // End of input inside an element ends every open element with status 1 and untrimmed text.
    {"<a> x <b> y ", "a{ x }[b{ y }]", 1, "1"},
    {"<a> x <b> y </", "a{ x }[b{ y }]", 1, "1"},
    {"<a> x <b> y </b", "a{ x }[b{y}]", 1, "1"},
    {"<a><b/><c>", "a{}[b, c{}]", 1, "1"},
    {"<a><b", "a{<}", 1, "1"},
    {"<a><!-- c", "a{<}", 1, "1"},
    {"<a><![CDATA[c", "a{<}", 1, "1"},
    {"<a><?c", "a{<}", 1, "1"},
    {"<a><!D", "a{<}", 1, "1"},
    // Tags: a ">" in a quoted value ends the tag; "/" only counts right before ">".
    {"<a t=\"1>2\">z</a>", "a<t=1>{2\">z}", 0, "0"},
    {"<a />", "a", 0, "0"},
    {"<a/ ></a/>", "a/{}", 0, "0"},
    {"<>x>y</>x>", ">x{y}", 0, "0"},
    {"<a b=\"/\">z</a>", "a<b=/>{z}", 0, "0"},
    // NUL bytes are stored, and every text ends at them.
    {std::string("<a>x\0y</a>", 10), "a{x}", 0, "0"},
    {std::string("<a\0b>t</a>", 10), "a{t}", 0, "0"},
};

TEST(XmlReader, DocumentsGiveTheirChainAndStatuses) {
  for (const DocCase &c : kDocs) {
    SCOPED_TRACE(c.text.size() > 200 ? c.text.substr(0, 100) + "..." : c.text);
    DocResult d = read_doc(c.text);
    EXPECT_EQ(d.status, c.status);
    EXPECT_EQ(describe(d.doc), c.chain);
    std::string errflags;
    for (XMLENTITY *e = d.doc; e; e = e->next) errflags += std::to_string(e->errflag);
    EXPECT_EQ(errflags, c.errflags);
    free_XMLENTITY(d.doc);
  }
}

TEST(XmlReader, RecordsBelowTheTopLevelKeepStatusZero) {
  DocResult d = read_doc("<a><b>x</c><!d></a>");
  EXPECT_EQ(d.status, 2);
  ASSERT_NE(d.doc, nullptr);
  EXPECT_EQ(d.doc->errflag, 2);
  for (XMLENTITY *c = d.doc->child; c; c = c->next) EXPECT_EQ(c->errflag, 0);
  free_XMLENTITY(d.doc);
}

TEST(XmlReader, AnItemWritesTheStatusOnlyWhenItFails) {
  ItemResult r = read_item("!--c-->", 9);
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(r.trace, "{Entering fget_XMLENTITY: *errflag = 9}\n"
                     "{fget_XMLENTITY reading comment: *errflag = 9}\n"
                     "{fget_XMLENTITY in comment, comment done: *errflag = 9}\n{c}\n");
  free_XMLENTITY(r.e);
}

std::string trace_of_document(const std::string &text, int status_in) {
  FILE *f = open_text(text);
  int status = status_in;
  xml_verbose_on();
  testing::internal::CaptureStdout();
  XMLENTITY *doc = readfile_XMLENTITY(f, &status);
  std::string trace = testing::internal::GetCapturedStdout();
  xml_verbose_off();
  fclose(f);
  free_XMLENTITY(doc);
  return trace;
}

TEST(XmlReaderTrace, CleanElementIsTracedLineByLine) {
  EXPECT_EQ(trace_of_document("<a>x</a>", 5), "[Entering readfile_XMLENTITY: *errflag = 5\n"
                                              "{Entering fget_XMLENTITY: *errflag = 0}\n"
                                              "{Start tag <a> in fget_XMLENTITY: *errflag = 0}\n"
                                              "{Entering fget_XMLENTITY: *errflag = 0}\n"
                                              "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
                                              "{End of tag <a> in fget_XMLENTITY: *errflag = 0}\n"
                                              "{x}\n"
                                              "[return from fget_XMLENTITY  err = 0]\n"
                                              "[*errflag = 0]\n"
                                              "[Exiting readfile_XMLENTITY: *errflag = 0]\n");
}

TEST(XmlReaderTrace, FailingDocumentIsTracedLineByLine) {
  EXPECT_EQ(trace_of_document("</x><!-><r a=\"1\"><!--c--><b>x</c><e/>  </r  z", 0),
            "[Entering readfile_XMLENTITY: *errflag = 0\n"
            // A stray end tag and a failed item: no "[*errflag" line.
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
            "[return from fget_XMLENTITY  err = 4]\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{fget_XMLENTITY in comment, not quite a comment: *errflag = 2}\n"
            "[return from fget_XMLENTITY  err = 2]\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{Start tag <r> in fget_XMLENTITY: *errflag = 0}\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{fget_XMLENTITY reading comment: *errflag = 0}\n"
            "{fget_XMLENTITY in comment, comment done: *errflag = 0}\n"
            "{c}\n"
            "{child tag <COMMENT> to <r> in fget_XMLENTITY: *errflag = 0}\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{Start tag <b> in fget_XMLENTITY: *errflag = 0}\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
            "{wrong endtag (j=0)to <b> in fget_XMLENTITY: *errflag = 2}\n"
            "{child tag <b> to <r> in fget_XMLENTITY: *errflag = 2}\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{Empty Element tag <e> in fget_XMLENTITY: *errflag = 0}\n"
            "{child tag <e> to <r> in fget_XMLENTITY: *errflag = 2}\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
            "{improper end of tag <r> in fget_XMLENTITY: *errflag = 2}\n"
            "{End of tag <r> in fget_XMLENTITY: *errflag = 2}\n"
            "{>}\n"
            "[return from fget_XMLENTITY  err = 2]\n"
            "[*errflag = 2]\n"
            "[Exiting readfile_XMLENTITY: *errflag = 2]\n");
}

// A failed item adds no line of its own; the element's later lines show its status.
TEST(XmlReaderTrace, FailedItemsKeepTheirStatus) {
  EXPECT_EQ(trace_of_document("<a>p<!>q</a>", 0), "[Entering readfile_XMLENTITY: *errflag = 0\n"
                                                  "{Entering fget_XMLENTITY: *errflag = 0}\n"
                                                  "{Start tag <a> in fget_XMLENTITY: *errflag = 0}\n"
                                                  "{Entering fget_XMLENTITY: *errflag = 0}\n"
                                                  "{Exiting fget_XMLENTITY empty tag: *errflag = 2}\n"
                                                  "{Entering fget_XMLENTITY: *errflag = 0}\n"
                                                  "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
                                                  "{End of tag <a> in fget_XMLENTITY: *errflag = 2}\n"
                                                  "{p<q}\n"
                                                  "[return from fget_XMLENTITY  err = 2]\n"
                                                  "[*errflag = 2]\n"
                                                  "[Exiting readfile_XMLENTITY: *errflag = 2]\n");
  // At the top level: the overall status, without a "[*errflag" line.
  EXPECT_EQ(trace_of_document("<!-- x <!-- y --> -->", 0),
            "[Entering readfile_XMLENTITY: *errflag = 0\n"
            "{Entering fget_XMLENTITY: *errflag = 0}\n"
            "{fget_XMLENTITY reading comment: *errflag = 0}\n"
            "{fget_XMLENTITY in comment, comment within a comment: *errflag = 2}\n"
            "[return from fget_XMLENTITY  err = 2]\n"
            "[Exiting readfile_XMLENTITY: *errflag = 2]\n");
}

TEST(XmlReaderTrace, EmptyStreamTracesEnteringAndExitingOnly) {
  EXPECT_EQ(trace_of_document("", 3), "[Entering readfile_XMLENTITY: *errflag = 3\n"
                                      "[Exiting readfile_XMLENTITY: *errflag = 0]\n");
  DocResult d = read_doc("no markup at all");
  EXPECT_EQ(d.doc, nullptr);
  EXPECT_EQ(d.status, 0);
}

TEST(XmlReaderTrace, NothingIsWrittenWhileTracingIsOff) {
  FILE *f = open_text("<a>x<b/></c></a>");
  int status = 0;
  testing::internal::CaptureStdout();
  XMLENTITY *doc = readfile_XMLENTITY(f, &status);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  fclose(f);
  free_XMLENTITY(doc);
}

TEST(XmlReaderTrace, TextsAreTracedUpToTheirFirstNul) {
  std::string input("!--a\0b-->", 9);
  ItemResult r = read_item(input);
  ASSERT_NE(r.e, nullptr);
  EXPECT_EQ(r.trace, ENTER + "{fget_XMLENTITY reading comment: *errflag = 0}\n"
                             "{fget_XMLENTITY in comment, comment done: *errflag = 0}\n{a}\n");
  free_XMLENTITY(r.e);
}

struct TagCase {
  const char *text;
  const char *name;
  const char *attrs; // "name=value;..."; a name alone has no value
};

const TagCase kTags[] = {
    {"e x = \"1\" y=2 z='3' w", "e", "x=1;y=2;z='3';w"},
    {"e a=\"x\"b=\"y\"", "e", "a=x;b=y"},
    {"a=b", "a=b", ""},
    {" \t e \n", "e", ""},
    {"", "", ""},
    {"e a b=\"1\"", "e", "a b=1"},
    {"e =v", "e", "=v"},
    {"e x=", "e", "x"},
    {"e x= \t", "e", "x"},
    {"e x=\"\"", "e", "x="},
    {"e x=\"a b", "e", "x=a b"},
    {"e x='a b'", "e", "x='a;b'"},
    {"e x=1 x=2", "e", "x=1;x=2"},
    {"e x=a&amp;B y", "e", "x=a&amp;B;y"},
    {"e\tX=\"1\"\n", "e", "X=1"},
};

TEST(XmlTagSplitting, NameAndAttributesAreSplitAsWritten) {
  for (const TagCase &c : kTags) {
    SCOPED_TRACE(c.text);
    std::string text = c.text;
    XMLENTITY *e = parsetag_XMLENTITY(&text[0]);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, c.name);
    EXPECT_EQ(attrs_of(e), c.attrs);
    EXPECT_EQ(e->type, 0);
    EXPECT_EQ(e->data, nullptr);
    for (XMLENTITY *a = e->attr; a; a = a->next) EXPECT_EQ(a->type, 0);
    free_XMLENTITY(e);
  }
  EXPECT_EQ(parsetag_XMLENTITY(nullptr), nullptr);
}

TEST(XmlTrimming, WhiteSpaceGoesFromBothEnds) {
  const char *cases[][2] = {
      {"  a b \t\n", "a b"}, {" \t\n\v\f\r ", ""}, {"", ""}, {"x", "x"}, {"\va\f", "a"}, {"\xA0z\xA0", "\xA0z\xA0"},
  };
  for (auto &c : cases) {
    std::string s = c[0];
    xmltrimstring(&s[0]);
    EXPECT_STREQ(s.c_str(), c[1]);
  }
  xmltrimstring(nullptr);
}

TEST(XmlReaderArguments, NullArgumentsOfReadfileAreRefused) {
  FILE *f = open_text("<a/>");
  int status = 7;
  testing::internal::CaptureStderr();
  EXPECT_EQ(readfile_XMLENTITY(nullptr, &status), nullptr);
  EXPECT_EQ(readfile_XMLENTITY(f, nullptr), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " *** ERROR: NULL Pointers on entry to readfile_XMLENTITY\n"
                                                    " *** ERROR: NULL Pointers on entry to readfile_XMLENTITY\n");
  EXPECT_EQ(status, 7);
  EXPECT_EQ(rest_of(f), "<a/>");
}

TEST(XmlReaderArgumentsDeathTest, NullArgumentsOfFgetEndTheProcess) {
  int status = 0;
  EXPECT_EXIT(fget_XMLENTITY(stdin, nullptr), testing::ExitedWithCode(1),
              "^ \\*\\*\\* ERROR: NULL errflag pointer in fget_XMLENTITY\\(\\)\n$");
  EXPECT_EXIT(fget_XMLENTITY(nullptr, &status), testing::ExitedWithCode(1),
              "^ \\*\\*\\* ERROR: NULL File Pointer in fget_XMLENTITY\\(\\)\n$");
  // The status pointer is tested first.
  EXPECT_EXIT(fget_XMLENTITY(nullptr, nullptr), testing::ExitedWithCode(1), "NULL errflag pointer");
}

// Depth at which the reader stops opening elements.
const int CAP = XML_MAX_DEPTH;

TEST(XmlReaderNesting, ElementsOpenUpToTheCap) {
  // b is the last element that may open; c, an empty-element tag, one level deeper.
  std::string text = repeat("<a>", CAP - 1) + "<b>t<c/></b>" + repeat("</a>", CAP - 1);
  DocResult d = read_doc(text);
  EXPECT_EQ(d.status, 0);
  XMLENTITY *e = d.doc;
  for (int i = 1; i < CAP; i++) e = e->child;
  EXPECT_EQ(describe(e), "b{t}[c]");
  free_XMLENTITY(d.doc);
}

TEST(XmlReaderNesting, StartTagPastTheCapReadsNoContent) {
  // The content "t" of b is read by the innermost a, which then meets "</b>".
  std::string text = repeat("<a>", CAP) + "<b>t</a>" + repeat("</a>", CAP - 1);
  FILE *f = open_text(text);
  int status = 0;
  xml_verbose_on();
  testing::internal::CaptureStdout();
  XMLENTITY *doc = readfile_XMLENTITY(f, &status);
  std::string trace = testing::internal::GetCapturedStdout();
  xml_verbose_off();
  fclose(f);
  EXPECT_EQ(status, 3);
  EXPECT_NE(trace.find("{Start tag <a> in fget_XMLENTITY: *errflag = 0}\n"
                       "{Entering fget_XMLENTITY: *errflag = 0}\n"
                       "{Nesting too deep at tag <b> in fget_XMLENTITY: *errflag = 3}\n"
                       "{child tag <b> to <a> in fget_XMLENTITY: *errflag = 3}\n"
                       "{Entering fget_XMLENTITY: *errflag = 0}\n"
                       "{Exiting fget_XMLENTITY with endtag: *errflag = 4}\n"
                       "{End of tag <a> in fget_XMLENTITY: *errflag = 3}\n{t}\n"),
            std::string::npos);
  XMLENTITY *e = doc;
  for (int i = 1; i < CAP; i++) {
    EXPECT_EQ(e->next, nullptr);
    e = e->child;
  }
  EXPECT_EQ(describe(e), "a{t}[b]");
  EXPECT_EQ(e->child->type, XML_ELEMENT);
  EXPECT_EQ(doc->errflag, 3);
  free_XMLENTITY(doc);
}

// A generous bound: a linear read takes a second or two even on a loaded CI
// machine, a quadratic one would take hours.
const double LINEAR_SECONDS = 60.0;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads, lowers, prints and releases a document; returns the chain's status.
int round_trip(const std::string &text, XMLENTITY **doc_out) {
  FILE *f = open_text(text);
  int status = 0;
  XMLENTITY *doc = readfile_XMLENTITY(f, &status);
  fclose(f);
  lowercase_XMLENTITY(doc, 1);
  FILE *sink = fopen("/dev/null", "w");
  for (XMLENTITY *e = doc; e; e = e->next) print_XMLENTITY(sink, e, 0);
  fclose(sink);
  *doc_out = doc;
  return status;
}

TEST(XmlReaderScale, DocumentNested200000DeepIsCutAtTheCap) {
  const int depth = 200000;
  auto start = std::chrono::steady_clock::now();
  XMLENTITY *doc = nullptr;
  EXPECT_EQ(round_trip(repeat("<A>", depth) + "x" + repeat("</A>", depth), &doc), 3);
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->next, nullptr);
  // Every start tag past the cap becomes a childless sibling at the cap.
  XMLENTITY *e = doc;
  for (int i = 1; i < CAP; i++) e = e->child;
  EXPECT_STREQ(e->name, "a");
  EXPECT_STREQ(e->data, "x");
  int siblings = 0;
  for (XMLENTITY *c = e->child; c; c = c->next) siblings += c->child == nullptr && c->data == nullptr;
  EXPECT_EQ(siblings, depth - CAP);
  free_XMLENTITY(doc);
  EXPECT_LT(seconds_since(start), LINEAR_SECONDS);
}

TEST(XmlReaderScale, MillionSiblingsAreReadInOrder) {
  const int count = 1000000;
  auto start = std::chrono::steady_clock::now();
  XMLENTITY *doc = nullptr;
  EXPECT_EQ(round_trip("<R>" + repeat("<E N=\"v\">x</E>", count) + "</R>", &doc), 0);
  ASSERT_NE(doc, nullptr);
  int n = 0;
  for (XMLENTITY *c = doc->child; c; c = c->next) n += strcmp(c->name, "e") == 0 && strcmp(c->attr->name, "N") == 0;
  EXPECT_EQ(n, count);
  free_XMLENTITY(doc);
  EXPECT_LT(seconds_since(start), LINEAR_SECONDS);
}

} // namespace
