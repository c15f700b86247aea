// The report's fast writer against a plain fprintf writer with the report's
// formats: every figure must read exactly as "%f" prints it, and every report
// byte for byte as the fprintf writer has it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "calc/calc.h"
#include "tests/calc/model_builder.h"

namespace {

// The report as one fprintf per line writes it.
std::string reference_report(LoadStudy *z, const char *destination) {
  char *text = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&text, &size);
  fprintf(out, "\"kpm\",\"Version\",\"%s\",\"%s\"\n", KPM_VERSION, KPM_BUILD_DATE);
  fprintf(out, "\"%s\"\n", str_or_null(z->name));
  fprintf(out, "\"%s\"\n", str_or_null(z->xmlfile));
  fprintf(out, "\"%s\"\n", destination);
  for (Results *rs = z->r; rs; rs = rs->next) {
    fprintf(out, "\n\"Operational_Condition\",\"%s\"\n", str_or_null(rs->oc ? rs->oc->name : nullptr));
    fprintf(out, "\"Ambient_Condition\",\"%s\"\n", str_or_null(rs->ac ? rs->ac->name : nullptr));
    fprintf(out, "\"Total_Connected_Load_KW\",%f\n", rs->total_connected_load);
    fprintf(out, "\"Total_Load_Factor_Load_KW\",%f\n", rs->total_lf_load);
    fprintf(out, "\"Zonal_Total_Operating_Load_KW\",%f\n", rs->total_operating_load);
    fprintf(out, "\"Total_lf\",%f\n", rs->total_lf);
    fprintf(out, "\"Total_kpm\",%f\n", rs->total_kpm);
    for (int i = 0; i < rs->nbr_lf; i++) {
      LoadFactor *lf = rs->lfs[i];
      Load *ld = lf->ld;
      fprintf(out, "\"SWBS\",\"%s\",\"%s\",\"Connected_Load_KW\",%f,\"Peak_fraction\",%f,\"LF\",%f,%f,\"KPM\",%f,%f\n",
              str_or_null(ld->swbs), str_or_null(ld->name), ld->connected_load, ld->peak_fraction, lf->loadfactor,
              lf->lf_load, lf->kpm, lf->kpm_load);
    }
  }
  fclose(out);
  std::string s(text, size);
  free(text);
  return s;
}

// Number of the first line where two reports part, 0 when they are equal; the
// failure message shows both around the first differing byte (texts run long).
size_t first_differing_line(const std::string &actual, const std::string &expected) {
  if (actual == expected) return 0;
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) at++;
  size_t newline = at == 0 ? std::string::npos : actual.rfind('\n', at - 1);
  size_t start = newline == std::string::npos ? 0 : newline + 1;
  size_t line = 1;
  for (size_t i = 0; i < start; i++) line += actual[i] == '\n';
  size_t from = std::max(start, at > 100 ? at - 100 : 0);
  auto excerpt = [&](const std::string &s) {
    size_t end = std::min(s.find('\n', at), from + 200);
    return s.substr(from, end == std::string::npos ? std::string::npos : end - from);
  };
  ADD_FAILURE() << "reports part at line " << line << ", column " << at - start + 1
                << "\n  written: " << excerpt(actual) << "\n expected: " << excerpt(expected);
  return line;
}

// Lines of a report before its first load line: header and a block's head.
const size_t kLinesBeforeLoads = 4 + 8;

// Every figure of a load line, in print order.
void set_figures(LoadFactor *lf, const double *v) {
  lf->ld->connected_load = v[0];
  lf->ld->peak_fraction = v[1];
  lf->loadfactor = v[2];
  lf->lf_load = v[3];
  lf->kpm = v[4];
  lf->kpm_load = v[5];
}

const int kFiguresPerLine = 6;

// Prints values through the report, six to a load line, and compares the
// file with the fprintf writer's text; a mismatch names the values of its line.
void expect_figures_as_printf(const std::vector<double> &values) {
  static const int kLines = 50000;
  ModelBuilder m;
  OperationalCondition *oc = m.add_oc("o", 1);
  AmbientCondition *ac = m.add_ac("a", 1);
  Results *r = m.add_results(oc, ac, kLines);
  for (int i = 0; i < kLines; i++) r->lfs[i] = m.add_lf(m.add_load("101", "pump", 0, 0), oc, ac, 0);
  std::string path = temp_path("kpm_format_test_", "figures.csv");
  m.z.outfile = const_cast<char *>(path.c_str());

  for (size_t first = 0; first < values.size(); first += (size_t)kLines * kFiguresPerLine) {
    size_t count = std::min(values.size() - first, (size_t)kLines * kFiguresPerLine);
    r->nbr_lf = (int)((count + kFiguresPerLine - 1) / kFiguresPerLine);
    for (int i = 0; i < r->nbr_lf; i++) {
      double v[kFiguresPerLine] = {0, 0, 0, 0, 0, 0};
      for (int k = 0; k < kFiguresPerLine && first + (size_t)i * kFiguresPerLine + k < values.size(); k++)
        v[k] = values[first + (size_t)i * kFiguresPerLine + k];
      set_figures(r->lfs[i], v);
    }
    // The block's totals are figures too.
    r->total_connected_load = values[first];
    r->total_lf_load = values[first + count / 2];
    r->total_operating_load = values[first + count - 1];
    r->total_lf = -values[first];
    r->total_kpm = -values[first + count - 1];

    print_results(&m.z);
    size_t line = first_differing_line(read_file(path), reference_report(&m.z, path.c_str()));
    if (line > kLinesBeforeLoads) {
      size_t at = first + (line - kLinesBeforeLoads - 1) * kFiguresPerLine;
      for (size_t k = at; k < at + kFiguresPerLine && k < values.size(); k++) {
        char hex[64];
        snprintf(hex, sizeof hex, "%a", values[k]);
        ADD_FAILURE() << "value " << k << " on that line: " << hex;
      }
    }
    if (line) break;
  }
  remove(path.c_str());
}

double from_bits(uint64_t bits) {
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

TEST(ReportFigures, HandPickedValuesReadAsPrintfFixed) {
  std::vector<double> values = {
      0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.5, 123.456, -123.456, 0.1 + 0.2, 1.0 / 3, 2.0 / 3, -2.0 / 3,
      // Around the sixth decimal: below, at and above half of its unit.
      0.5e-6, -0.5e-6, 0.0000005, 0.0000015, 0.0000025, 0.0000035, 2.5e-7, -2.5e-7, 4e-7, -4e-7, 1e-7, -1e-7,
      4.9999999999999998e-7, 5.0000000000000001e-7, 0.00000050000000000000002, 1.0000005, -1.0000005, 0.9999995,
      0.9999999, -0.9999999, 9.9999995, 999999.9999995, 999999.9999994, 999999.9999996, 1234567.5, 1234567.8901235,
      // Powers of two that print long or sit near a half: 2^-21, 3 * 2^-22, 2^-20, 2^-24.
      std::ldexp(1.0, -21), std::ldexp(3.0, -22), std::ldexp(1.0, -20), std::ldexp(1.0, -24), -std::ldexp(1.0, -21),
      // Exact ties in binary (odd multiples of 2^-7): even and odd sixth decimals.
      1.0 / 128, 3.0 / 128, 5.0 / 128, 7.0 / 128, 127.0 / 128, -1.0 / 128, -3.0 / 128, 1.0078125, 12345.0234375,
      4503599627370495.5 / 64, std::ldexp(8796093022207.0, -7), -std::ldexp(8796093022207.0, -7),
      // Large: beyond 2^53, 2^63, 2^64, and the largest.
      1e15, 1e16, 1e17 + 8, 9007199254740993.0, 18446744073709551616.0, 9223372036854775808.0, 1e22, 1e23, 1e100, 1e300,
      -1e300, 1.7976931348623157e308, DBL_MAX, -DBL_MAX, std::nextafter(DBL_MAX, 0.0),
      // Smallest normal, denormals.
      DBL_MIN, -DBL_MIN, 2.2250738585072009e-308, 5e-324, -5e-324, 1e-320, DBL_TRUE_MIN, std::ldexp(1.0, -1060),
      // Specials, and NaNs with payloads and either sign.
      INFINITY, -INFINITY, NAN, -NAN, from_bits(0x7ff0000000000001ull), from_bits(0xfff8000000000001ull),
      from_bits(0x7fffffffffffffffull), from_bits(0xffffffffffffffffull)};
  // Every neighbour too: one step either way of a tie or a boundary changes the text.
  size_t n = values.size();
  for (size_t i = 0; i < n; i++) {
    values.push_back(std::nextafter(values[i], INFINITY));
    values.push_back(std::nextafter(values[i], -INFINITY));
  }
  expect_figures_as_printf(values);
}

TEST(ReportFigures, MillionsOfPseudoRandomValuesReadAsPrintfFixed) {
  std::mt19937_64 rng(20240607);
  std::vector<double> values;
  const int kPerKind = 600000;
  for (int i = 0; i < kPerKind; i++) {
    // Any bit pattern: every exponent, denormals, infinities, NaNs.
    values.push_back(from_bits(rng()));
    // Decimal texts as a study holds them: k / 10^n.
    uint64_t k = rng() % 1000000000000000000ull;
    k %= (uint64_t)std::pow(10.0, (double)(1 + rng() % 18));
    double v = (double)k / std::pow(10.0, (double)(rng() % 16));
    values.push_back(rng() % 2 ? v : -v);
    // Dyadic fractions: exact ties at 2^-7, long exact expansions beyond.
    uint64_t j = (rng() >> (11 + rng() % 50)) | 1;
    values.push_back(std::ldexp((double)j, -(int)(1 + rng() % 60)) * (rng() % 2 ? 1 : -1));
    // Just below, at and above a half of the sixth decimal.
    uint64_t units = rng() % (uint64_t)std::pow(10.0, (double)(1 + rng() % 13));
    double half = ((double)units + 0.5) / 1e6;
    int steps = (int)(rng() % 5) - 2;
    for (; steps > 0; steps--) half = std::nextafter(half, INFINITY);
    for (; steps < 0; steps++) half = std::nextafter(half, -INFINITY);
    values.push_back(half);
    // Any magnitude, spread evenly on a log scale.
    double magnitude = std::pow(10.0, -12.0 + (double)(rng() % 34000) / 1000.0);
    values.push_back(rng() % 2 ? magnitude : -magnitude);
  }
  expect_figures_as_printf(values);
}

// Texts as the study may hold them: empty, null, quotes, commas, and longer
// than the writer's chunk (the reader allows 65535 bytes; the writer must not
// care either way). Blocks of a few thousand lines: several pieces each.
TEST(ReportWriter, WholeReportMatchesTheFprintfWriter) {
  std::vector<std::string> texts = {"",         "101",       "3,1",         "\"pump\"", "a \"b\", c",
                                    "ümlaut é", "tab\there", "line\nbreak", "%s%f%n%%", std::string(300, ',')};
  std::vector<std::string> long_texts = {std::string(65535, 'x'), std::string(65536, 'y'), std::string(70000, 'z')};
  std::vector<double> odd = {0.0,  -0.0,   1234567.5, 0.0000005,  -4e-7,  1.0 / 128, 3.0 / 128,
                             1e22, -1e300, DBL_MAX,   DBL_MIN,    5e-324, INFINITY,  -INFINITY,
                             NAN,  -NAN,   0.1 + 0.2, 99.9999995, -1.0,   1e15};
  ModelBuilder m("study \"A\", variant 2");
  std::mt19937_64 rng(7);
  OperationalCondition *ocs[] = {m.add_oc("cruise", 1), m.add_oc("full \"speed\", ahead", 2),
                                 m.add_oc(long_texts[0].c_str(), 3)};
  AmbientCondition *acs[] = {m.add_ac("summer", 1), m.add_ac("", 2)};
  const int kLoads = 4000;
  std::vector<Load *> loads;
  for (int i = 0; i < kLoads; i++) {
    const char *swbs = i % 17 == 0 ? nullptr : texts[rng() % texts.size()].c_str();
    const char *name = i % 13 == 0 ? nullptr : texts[rng() % texts.size()].c_str();
    if (i % 151 == 7) swbs = long_texts[rng() % long_texts.size()].c_str();
    if (i % 211 == 3) name = long_texts[rng() % long_texts.size()].c_str();
    loads.push_back(m.add_load(swbs, name, odd[rng() % odd.size()], (double)(rng() % 1000001) / 1e6));
  }
  for (OperationalCondition *oc : ocs)
    for (AmbientCondition *ac : acs) {
      Results *r = m.add_results(oc, ac, kLoads);
      for (Load *ld : loads) {
        if (rng() % 4 == 0) continue;
        LoadFactor *lf = m.add_lf(ld, oc, ac, odd[rng() % odd.size()]);
        lf->lf_load = ld->connected_load * lf->loadfactor;
        lf->kpm = rng() % 3 ? (double)(rng() % 2000000) / 1e6 : odd[rng() % odd.size()];
        lf->kpm_load = lf->kpm * ld->connected_load;
        r->lfs[r->nbr_lf++] = lf;
      }
      r->total_connected_load = (double)rng() / 1e10;
      r->total_lf_load = odd[rng() % odd.size()];
      r->total_operating_load = (double)rng() / 3e12;
      r->total_lf = -1.0 / 3;
      r->total_kpm = 2.0 / 3;
    }
  // Pairs without load factors and without condition records still get their block.
  m.add_results(ocs[0], nullptr, 0);
  m.add_results(nullptr, acs[1], 0);

  // Formatted on this thread alone, or by worker threads ahead of it.
  std::string path = temp_path("kpm_format_test_", "whole.csv");
  m.z.outfile = const_cast<char *>(path.c_str());
  for (int workers = 1; workers <= 3; workers++) {
    set_calc_workers(workers);
    print_results(&m.z);
    EXPECT_EQ(first_differing_line(read_file(path), reference_report(&m.z, path.c_str())), 0u) << workers;
  }
  set_calc_workers(0);
  remove(path.c_str());

  // To standard output, after the debug line naming it.
  m.z.outfile = nullptr;
  m.z.debug = 1;
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(
      first_differing_line(testing::internal::GetCapturedStdout(), "out = stdout\n" + reference_report(&m.z, "stdout")),
      0u);
}

// Many pairs with few lines each, as with a hundred conditions of each kind:
// pieces of the report then gather many blocks, empty ones among them. And a
// study with one line per load, where loads get no line start of their own.
TEST(ReportWriter, SmallBlocksAndSingleLinesMatchTheFprintfWriter) {
  for (int pairs : {3000, 1}) {
    ModelBuilder m;
    std::mt19937_64 rng(11);
    OperationalCondition *oc = m.add_oc("o", 1);
    AmbientCondition *ac = m.add_ac("a", 1);
    std::vector<Load *> loads;
    for (int i = 0; i < 5000; i++) loads.push_back(m.add_load("1", "L", (double)(rng() % 100000) / 7, 0.5));
    for (int k = 0; k < pairs; k++) {
      int lines = pairs == 1 ? 5000 : (int)(rng() % 4);
      Results *r = m.add_results(oc, ac, lines);
      for (int i = 0; i < lines; i++) {
        LoadFactor *lf = m.add_lf(loads[(k + i * 7) % loads.size()], oc, ac, (double)(rng() % 1000) / 1000);
        lf->lf_load = lf->ld->connected_load * lf->loadfactor;
        r->lfs[r->nbr_lf++] = lf;
      }
      r->total_lf = (double)k;
    }
    std::string path = temp_path("kpm_format_test_", "small.csv");
    m.z.outfile = const_cast<char *>(path.c_str());
    for (int workers = 1; workers <= 3; workers++) {
      set_calc_workers(workers);
      print_results(&m.z);
      EXPECT_EQ(first_differing_line(read_file(path), reference_report(&m.z, path.c_str())), 0u)
          << pairs << " pairs, " << workers << " workers";
    }
    set_calc_workers(0);
    remove(path.c_str());
  }
}

} // namespace
