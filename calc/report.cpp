// The results report: a header, then one block per pair of conditions.
// A big study's report runs to hundreds of megabytes, so the blocks are built
// in a chunk buffer and written in large pieces rather than one printf per line.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calc/calc.h"
#include "xml/xmlentity.h"

// Room for any double in "%f": 309 integer digits, sign, point, 6 decimals, NUL.
static const int REAL_TEXT_SIZE = 320;
// Decimals of a figure, as "%f" prints them.
static const int REAL_DECIMALS = 6;
// Report text gathered before each write: few write calls, and stays in cache.
static const size_t REPORT_CHUNK_SIZE = 1 << 16;
// Lines ahead whose load factor is fetched into cache; its load is fetched at
// half the distance and the load's texts at a quarter. The records lie spread
// over the heap, and waiting for them cost more than formatting the line.
static const int PREFETCH_LINES = 16;

// The one place that turns a figure into report text: writes v at p exactly as
// "%f" does (correctly rounded, "-0.000000", "inf", "-nan") with no NUL, and
// returns the end. p has REAL_TEXT_SIZE bytes of room.
//
// The common case is done in exact integer arithmetic: a finite v is
// m * 2^e, and its digits are m * 10^6 * 2^e rounded to an integer, halves to
// even, which is what "%f" prints. m * 10^6 < 2^73, so the product and its
// shift fit in 128 bits; the digits are written from 64 bits, which holds
// every |v| below about 1.8e13. Larger values and the specials go to the
// library's exact conversion.
__extension__ typedef unsigned __int128 uint128;
static const int FAST_MAX_EXPONENT = 50;
static const uint64_t MICRO = 1000000; // 10^REAL_DECIMALS
static const char DIGIT_PAIRS[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                  "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                  "8081828384858687888990919293949596979899";

static char *format_real(char *p, double v) {
  uint64_t bits;
  memcpy(&bits, &v, sizeof bits);
  int biased = (int)((bits >> 52) & 0x7ff);
  uint64_t m = bits & ((UINT64_C(1) << 52) - 1);
  int e = biased == 0 ? -1074 : biased - 1075;
  if (biased != 0) m |= UINT64_C(1) << 52;
  if (biased == 0x7ff || e > FAST_MAX_EXPONENT)
    return std::to_chars(p, p + REAL_TEXT_SIZE, v, std::chars_format::fixed, REAL_DECIMALS).ptr;

  uint128 n = (uint128)m * MICRO;
  if (e >= 0) {
    n <<= e;
  } else if (-e >= 127) {
    n = 0; // below half a millionth: n < 2^73 < half of 2^127
  } else {
    int shift = -e;
    uint128 q = n >> shift;
    uint128 rest = n - (q << shift);
    uint128 half = (uint128)1 << (shift - 1);
    if (rest > half || (rest == half && (q & 1))) q++;
    n = q;
  }

  if (n >> 64) // 1.8e13 and beyond: rare in a report, left to the library
    return std::to_chars(p, p + REAL_TEXT_SIZE, v, std::chars_format::fixed, REAL_DECIMALS).ptr;
  uint64_t whole = (uint64_t)n / MICRO;
  uint32_t frac = (uint32_t)((uint64_t)n % MICRO);

  char tmp[24]; // the integer part's digits, filled from the end
  char *q = tmp + sizeof tmp;
  while (whole >= 100) {
    q -= 2;
    memcpy(q, DIGIT_PAIRS + 2 * (whole % 100), 2);
    whole /= 100;
  }
  if (whole >= 10) {
    q -= 2;
    memcpy(q, DIGIT_PAIRS + 2 * whole, 2);
  } else {
    *--q = (char)('0' + whole);
  }
  if (bits >> 63) *p++ = '-';
  size_t len = (size_t)(tmp + sizeof tmp - q);
  memcpy(p, q, len);
  p += len;
  *p++ = '.';
  memcpy(p, DIGIT_PAIRS + 2 * (frac / 10000), 2);
  memcpy(p + 2, DIGIT_PAIRS + 2 * (frac / 100 % 100), 2);
  memcpy(p + 4, DIGIT_PAIRS + 2 * (frac % 100), 2);
  p += REAL_DECIMALS;
  return p;
}

// Report text on its way to the stream.
struct ReportSink {
  FILE *out;
  char *buf; // REPORT_CHUNK_SIZE bytes
  size_t len;
};

static void flush_sink(ReportSink *s) {
  if (s->len) fwrite(s->buf, 1, s->len, s->out);
  s->len = 0;
}

// Texts of any length: one too long for the chunk goes straight to the stream.
static inline void put_bytes(ReportSink *s, const char *p, size_t n) {
  if (n > REPORT_CHUNK_SIZE - s->len) {
    flush_sink(s);
    if (n >= REPORT_CHUNK_SIZE) {
      fwrite(p, 1, n, s->out);
      return;
    }
  }
  memcpy(s->buf + s->len, p, n);
  s->len += n;
}

#define PUT_LITERAL(s, lit) put_bytes((s), (lit), sizeof(lit) - 1)

static void put_text(ReportSink *s, const char *text) {
  const char *t = str_or_null(text);
  put_bytes(s, t, strlen(t));
}

static inline void put_real(ReportSink *s, double v) {
  if (REPORT_CHUNK_SIZE - s->len < (size_t)REAL_TEXT_SIZE) flush_sink(s);
  s->len = (size_t)(format_real(s->buf + s->len, v) - s->buf);
}

static void print_block(ReportSink *s, Results *rs) {
  // Seven lines per pair: rare enough for plain fprintf, which prints "%f"
  // exactly as format_real does. The chunk goes first, to keep the order.
  flush_sink(s);
  fprintf(s->out, "\n\"Operational_Condition\",\"%s\"\n", str_or_null(rs->oc ? rs->oc->name : nullptr));
  fprintf(s->out, "\"Ambient_Condition\",\"%s\"\n", str_or_null(rs->ac ? rs->ac->name : nullptr));
  fprintf(s->out, "\"Total_Connected_Load_KW\",%f\n", rs->total_connected_load);
  fprintf(s->out, "\"Total_Load_Factor_Load_KW\",%f\n", rs->total_lf_load);
  fprintf(s->out, "\"Zonal_Total_Operating_Load_KW\",%f\n", rs->total_operating_load);
  fprintf(s->out, "\"Total_lf\",%f\n", rs->total_lf);
  fprintf(s->out, "\"Total_kpm\",%f\n", rs->total_kpm);
  int n = rs->nbr_lf;
  for (int i = 0; i < n; i++) {
    if (i + PREFETCH_LINES < n) __builtin_prefetch(rs->lfs[i + PREFETCH_LINES]);
    if (i + PREFETCH_LINES / 2 < n) __builtin_prefetch(rs->lfs[i + PREFETCH_LINES / 2]->ld);
    if (i + PREFETCH_LINES / 4 < n) {
      Load *ahead = rs->lfs[i + PREFETCH_LINES / 4]->ld;
      __builtin_prefetch(ahead->swbs);
      __builtin_prefetch(ahead->name);
    }
    LoadFactor *lf = rs->lfs[i];
    Load *ld = lf->ld;
    // "\"SWBS\",\"%s\",\"%s\",\"Connected_Load_KW\",%f,\"Peak_fraction\",%f,\"LF\",%f,%f,\"KPM\",%f,%f\n"
    PUT_LITERAL(s, "\"SWBS\",\"");
    put_text(s, ld->swbs);
    PUT_LITERAL(s, "\",\"");
    put_text(s, ld->name);
    PUT_LITERAL(s, "\",\"Connected_Load_KW\",");
    put_real(s, ld->connected_load);
    PUT_LITERAL(s, ",\"Peak_fraction\",");
    put_real(s, ld->peak_fraction);
    PUT_LITERAL(s, ",\"LF\",");
    put_real(s, lf->loadfactor);
    PUT_LITERAL(s, ",");
    put_real(s, lf->lf_load);
    PUT_LITERAL(s, ",\"KPM\",");
    put_real(s, lf->kpm);
    PUT_LITERAL(s, ",");
    put_real(s, lf->kpm_load);
    PUT_LITERAL(s, "\n");
  }
}

void print_results(LoadStudy *z) {
  static char chunk[REPORT_CHUNK_SIZE];

  if (!z) exit(1);

  FILE *out = stdout;
  if (z->outfile) {
    out = fopen(z->outfile, "w");
    if (!out) {
      fprintf(stderr, " *** ERROR: Unable to write to output file %s\n", z->outfile);
      exit(1);
    }
    if (z->debug) {
      printf("z->outfile = %s\n", z->outfile);
      fflush(stdout);
    }
  } else if (z->debug) {
    printf("out = stdout\n");
    fflush(stdout);
  }

  fprintf(out, "\"kpm\",\"Version\",\"%s\",\"%s\"\n", KPM_VERSION, KPM_BUILD_DATE);
  fprintf(out, "\"%s\"\n", str_or_null(z->name));
  fprintf(out, "\"%s\"\n", str_or_null(z->xmlfile));
  if (z->outfile)
    fprintf(out, "\"%s\"\n", z->outfile);
  else
    fprintf(out, "\"stdout\"\n");

  if (z->debug && !z->r) {
    printf("z->r is NULL Pointer\n");
    fflush(stdout);
  }

  ReportSink sink = {out, chunk, 0};
  for (Results *rs = z->r; rs; rs = rs->next) print_block(&sink, rs);
  flush_sink(&sink);

  // Standard output is checked by main at the end of the run; a report file
  // that was cut short must not pass for a finished one.
  if (out != stdout) {
    int failed = ferror(out);
    if (fclose(out) != 0) failed = 1;
    if (failed) {
      fprintf(stderr, " *** ERROR: Unable to write to output file %s\n", z->outfile);
      exit(1);
    }
  }
}
