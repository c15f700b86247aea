// The CSV reader: fields, their places, quoting, line ends and separators.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/common/csv_read.h"

namespace {

// A record as "row|field|field", each field as [text] or "[text]" when quoted.
struct Read {
  std::vector<std::string> records;
  std::string diagnostics;
  long errors;
};

Read read_all(const std::string &input, int separator = 0) {
  FILE *in = fmemopen((void *)input.data(), input.size(), "rb");
  if (input.empty()) in = fopen("/dev/null", "rb");
  char *diag_text = nullptr;
  size_t diag_size = 0;
  FILE *diag_stream = open_memstream(&diag_text, &diag_size);
  CsvDiag diag;
  csv_diag_init(&diag, "l.csv", diag_stream);
  CsvReader r;
  csv_open(&r, in, &diag);
  r.separator = separator ? separator : csv_sniff_separator(&r);
  Read out;
  while (csv_read_record(&r)) {
    std::string rec = std::to_string(r.row);
    for (size_t i = 0; i < r.nbr_fields; i++) {
      std::string text(csv_field_text(&r, i), r.fields[i].length);
      rec += r.fields[i].quoted ? "|\"" + text + "\"" : "|[" + text + "]";
    }
    out.records.push_back(rec);
  }
  csv_close(&r);
  fclose(in);
  fclose(diag_stream);
  out.diagnostics = std::string(diag_text, diag_size);
  out.errors = diag.errors;
  free(diag_text);
  return out;
}

TEST(CsvRead, FieldsAndRecordsAsSpreadsheetsWriteThem) {
  struct Case {
    std::string input;
    std::vector<std::string> records;
  } cases[] = {
      {"a,b\r\nc,d\r\n", {"1|[a]|[b]", "2|[c]|[d]"}},
      {"a,b\nc,d", {"1|[a]|[b]", "2|[c]|[d]"}},   // LF, no line end at the end
      {"a,b\rc,d\r", {"1|[a]|[b]", "2|[c]|[d]"}}, // a lone CR ends a record too
      {"\xef\xbb\xbf"
       "a,b\n",
       {"1|[a]|[b]"}},                                                 // byte-order mark
      {"\"x, \"\"y\"\"\nz\",2\n", {"1|\"x, \"y\"\nz\"|[2]"}},          // quotes, comma, line break
      {"\"a\"\"\"\n", {"1|\"a\"\""}},                                  // a doubled quote at the end
      {"\"\",,x\n", {"1|\"\"|[]|[x]"}},                                // quoted empty and empty
      {"a,\n", {"1|[a]|[]"}},                                          // an empty last field
      {"\n\na\n", {"1|[]", "2|[]", "3|[a]"}},                          // blank rows keep their numbers
      {"\"a\nb\"\nc\n", {"1|\"a\nb\"", "2|[c]"}},                      // the row counts records, not lines
      {"12\" pipe,3\n", {"1|[12\" pipe]|[3]"}},                        // a quote inside an unquoted cell
      {"\"a\"  ,b\n", {"1|\"a\"|[b]"}},                                // blanks after the closing quote
      {std::string("a\0b,c\n", 6), {std::string("1|[a\0b]|[c]", 11)}}, // NUL bytes are data
      {"", {}},
  };
  for (const Case &c : cases) {
    Read got = read_all(c.input);
    EXPECT_EQ(got.records, c.records) << c.input;
    EXPECT_EQ(got.errors, 0) << c.input << got.diagnostics;
  }
}

TEST(CsvRead, SeparatorIsTheMostFrequentOutsideQuotes) {
  struct Case {
    std::string input;
    std::string first;
  } cases[] = {
      {"a;b;c\n1,5;2;3\n", "1|[a]|[b]|[c]"},
      {"a\tb\tc,d\n", "1|[a]|[b]|[c,d]"},
      {"\"x;y;z\",b\n", "1|\"x;y;z\"|[b]"}, // quoted separators do not count
      {"\n\na;b\n", "1|[]"},                // blank lines before the header...
      {"a;b,c\n", "1|[a;b]|[c]"},           // a tie goes to the comma
      {"name\n", "1|[name]"},
  };
  for (const Case &c : cases) {
    Read got = read_all(c.input);
    ASSERT_FALSE(got.records.empty()) << c.input;
    EXPECT_EQ(got.records[0], c.first) << c.input;
  }
  EXPECT_EQ(read_all("\n\na;b\n").records[2], "3|[a]|[b]");      // ...do not hide its separator
  EXPECT_EQ(read_all("a;b,c\n", ';').records[0], "1|[a]|[b,c]"); // given, not sniffed
}

TEST(CsvRead, QuotingGoneWrongIsReportedWhereItStarts) {
  Read got = read_all("a,b\nc,\"d\ne,f\n");
  EXPECT_EQ(got.records, (std::vector<std::string>{"1|[a]|[b]", "2|[c]|\"d\ne,f\n\""}));
  EXPECT_EQ(got.diagnostics, "l.csv:2:2: error: the quoted cell is not closed before the end of the list\n");

  got = read_all("a,\"b\"x,c\n");
  EXPECT_EQ(got.records, (std::vector<std::string>{"1|[a]|\"bx\"|[c]"}));
  EXPECT_EQ(got.diagnostics, "l.csv:1:2: error: text after the closing quote of the cell\n");
}

TEST(CsvRead, WideEncodingsAreRefusedByName) {
  // "n,1" in each encoding, with and without its byte-order mark.
  struct Case {
    std::string bytes;
    const char *encoding;
  } cases[] = {
      {std::string("\xff\xfen\0,\0"
                   "1\0",
                   8),
       "UTF-16 (little-endian)"},
      {std::string("n\0,\0"
                   "1\0",
                   6),
       "UTF-16 (little-endian)"},
      {std::string("\xfe\xff\0n\0,\0"
                   "1",
                   8),
       "UTF-16 (big-endian)"},
      {std::string("\0n\0,\0"
                   "1",
                   6),
       "UTF-16 (big-endian)"},
      {std::string("\xff\xfe\0\0n\0\0\0", 8), "UTF-32 (little-endian)"},
      {std::string("n\0\0\0,\0\0\0", 8), "UTF-32 (little-endian)"},
      {std::string("\0\0\xfe\xff\0\0\0n", 8), "UTF-32 (big-endian)"},
      {std::string("\0\0\0n\0\0\0,", 8), "UTF-32 (big-endian)"},
  };
  for (const Case &c : cases) {
    Read got = read_all(c.bytes);
    EXPECT_TRUE(got.records.empty()) << c.encoding;
    EXPECT_EQ(got.diagnostics,
              std::string("l.csv:1:1: error: the list is saved as ") + c.encoding + " text; save it as UTF-8 CSV\n");
  }
  // UTF-8 with its mark, and NUL bytes that are no wide text, read as ever.
  EXPECT_EQ(read_all("\xef\xbb\xbfn,1\n").records, (std::vector<std::string>{"1|[n]|[1]"}));
  EXPECT_EQ(read_all(std::string("a\0b,1\n", 6)).errors, 0);
  EXPECT_EQ(read_all(std::string("\0\0\0\0", 4)).diagnostics, "");
}

TEST(CsvRead, LongFieldsAndRecordsCrossTheReadBuffer) {
  std::string big(3 * CSV_READ_CHUNK + 17, 'x');
  std::string input = "a," + big + "\n\"" + big + "\"\"" + big + "\";b\n";
  // The header is longer than one read too, so sniffing must read ahead.
  std::string header;
  for (int i = 0; i < 40000; i++) header += "h;";
  Read got = read_all(header + "\n" + input);
  ASSERT_EQ(got.records.size(), 3u);
  EXPECT_EQ(got.records[1], "2|[a," + big + "]"); // semicolon separated
  EXPECT_TRUE(got.records[2] == "3|\"" + big + "\"" + big + "\"|[b]") << got.records[2].substr(0, 60);
  EXPECT_EQ(got.errors, 0) << got.diagnostics;
}

TEST(CsvDiagText, ShortensAndShowsControlBytes) {
  char buf[CSV_DIAG_TEXT_SIZE];
  struct Case {
    std::string text, shown;
  } cases[] = {
      {"a\tb\n\r", "a\\tb\\n\\r"},
      {"\x1b[2J\x7f", "\\x1b[2J\\x7f"},
      // Well-formed characters stay: a dash, a euro sign, a phi, a letter outside the BMP.
      {"cos\xcf\x86 \xe2\x80\x93 5 \xe2\x82\xac \xf0\x9f\x94\xa5", "cos\xcf\x86 \xe2\x80\x93 5 \xe2\x82\xac \xf0\x9f\x94\xa5"},
      // C1 controls, bidirectional overrides and isolates, separators and the byte-order mark.
      {"a\xc2\x85" "b\xc2\x9b", "a\\u0085b\\u009b"},
      {"\xe2\x80\xae" "evil\xe2\x80\xac \xe2\x81\xa6" "x\xe2\x81\xa9", "\\u202eevil\\u202c \\u2066x\\u2069"},
      {"\xe2\x80\xa8\xef\xbb\xbf" "Cruise", "\\u2028\\ufeffCruise"},
      // Bytes of no well-formed sequence: a lone continuation byte, a cut
      // sequence, an overlong form, a surrogate.
      {"\xff\x80x\xe2\x82", "\\xff\\x80x\\xe2\\x82"},
      {"\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},
  };
  for (const Case &c : cases) EXPECT_EQ(csv_diag_text(buf, sizeof buf, c.text.data(), c.text.size()), c.shown);
  // A sequence is judged on the text's own bytes: a cut "\xe2\x82" before more bytes is no euro sign.
  EXPECT_STREQ(csv_diag_text(buf, sizeof buf, "\xe2\x82\xac", 2), "\\xe2\\x82");
  std::string long_text(100, 'y');
  EXPECT_EQ(std::string(csv_diag_text(buf, sizeof buf, long_text.data(), long_text.size())),
            std::string(40, 'y') + "...");
  // Never cut inside a UTF-8 character: 20 two-byte letters fill 40 bytes.
  std::string accents;
  for (int i = 0; i < 30; i++) accents += "\xc3\xa9";
  std::string shown = csv_diag_text(buf, sizeof buf, accents.data(), accents.size());
  EXPECT_EQ(shown, accents.substr(0, 40) + "...");
  shown = csv_diag_text(buf, sizeof buf, ("a" + accents).data(), accents.size() + 1);
  EXPECT_EQ(shown, "a" + accents.substr(0, 38) + "...");
}

} // namespace
