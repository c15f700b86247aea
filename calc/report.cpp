// The results report: a header, then one block per pair of conditions.
// A big study's report runs to hundreds of megabytes, larger than the study:
// its lines are built in buffers and written in large pieces rather than one
// printf per line, and on a machine with several processors the lines are
// formatted by worker threads while this one writes them, in order.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>

#include "calc/calc.h"
#include "xml/common.h"

// Room for any double in "%f": 309 integer digits, sign, point, 6 decimals, NUL.
static const int REAL_TEXT_SIZE = 320;
// Decimals of a figure, as "%f" prints them.
static const int REAL_DECIMALS = 6;
// Report text gathered before each write when one thread does it all: few
// write calls, and stays in cache.
static const size_t REPORT_CHUNK_SIZE = 1 << 16;
// Lines ahead whose load factor is fetched into cache; its load is fetched at
// half the distance and the load's texts at a quarter. The records lie spread
// over the heap, and waiting for them cost more than formatting the line.
static const int PREFETCH_LINES = 16;
// Load lines per piece of work for the worker threads: large enough that
// handing out the pieces costs nothing, small enough to spread a one-pair
// study over every worker.
static const int REPORT_PIECE_LINES = 2048;
// Starting room of a piece's text; it grows for lines with long texts.
static const size_t REPORT_PIECE_ROOM = (size_t)REPORT_PIECE_LINES * 192;
// Pieces in flight per worker: formatted ahead of the writer, or being formatted.
static const int REPORT_SLOTS_PER_WORKER = 3;

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

// Report text on its way out. A sink with a stream writes its buffer there
// whenever it fills up; a sink without one keeps all its text, growing the
// buffer, for a writer to take later.
struct ReportSink {
  FILE *out;  // null: the text stays in buf
  char *buf;  // cap bytes
  size_t len; // bytes of text in buf
  size_t cap;
  int failed; // without a stream only: the buffer could not grow, the text is incomplete
};

static void flush_sink(ReportSink *s) {
  if (s->len) fwrite(s->buf, 1, s->len, s->out);
  s->len = 0;
}

// Makes room for n more bytes: 1 when there is room in buf, 0 when there is
// none (a text too long for a stream sink's buffer, or a buffer that could not grow).
static int make_room(ReportSink *s, size_t n) {
  if (s->out) {
    flush_sink(s);
    return n < s->cap;
  }
  if (s->failed) return 0;
  size_t cap = s->cap * 2 > s->len + n ? s->cap * 2 : s->len + n;
  char *grown = (char *)realloc(s->buf, cap);
  if (!grown) {
    s->failed = 1;
    return 0;
  }
  s->buf = grown;
  s->cap = cap;
  return 1;
}

// Texts of any length: one too long for a stream sink's buffer goes straight to the stream.
static inline void put_bytes(ReportSink *s, const char *p, size_t n) {
  if (n > s->cap - s->len && !make_room(s, n)) {
    if (s->out) fwrite(p, 1, n, s->out);
    return;
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
  if (s->cap - s->len < (size_t)REAL_TEXT_SIZE && !make_room(s, REAL_TEXT_SIZE)) return;
  s->len = (size_t)(format_real(s->buf + s->len, v) - s->buf);
}

// One line of the block's heading: "key",figure
static void put_total(ReportSink *s, const char *key, double v) {
  PUT_LITERAL(s, "\"");
  put_text(s, key);
  PUT_LITERAL(s, "\",");
  put_real(s, v);
  PUT_LITERAL(s, "\n");
}

// The block's heading: the empty line, the pair and its totals.
static void put_heading(ReportSink *s, Results *rs) {
  PUT_LITERAL(s, "\n\"Operational_Condition\",\"");
  put_text(s, rs->oc ? rs->oc->name : nullptr);
  PUT_LITERAL(s, "\"\n\"Ambient_Condition\",\"");
  put_text(s, rs->ac ? rs->ac->name : nullptr);
  PUT_LITERAL(s, "\"\n");
  put_total(s, "Total_Connected_Load_KW", rs->total_connected_load);
  put_total(s, "Total_Load_Factor_Load_KW", rs->total_lf_load);
  put_total(s, "Zonal_Total_Operating_Load_KW", rs->total_operating_load);
  put_total(s, "Total_lf", rs->total_lf);
  put_total(s, "Total_kpm", rs->total_kpm);
}

// What a load's lines start with under every pair: its texts and values, up
// to the load factor.
static void put_line_start(ReportSink *s, const Load *ld) {
  // "\"SWBS\",\"%s\",\"%s\",\"Connected_Load_KW\",%f,\"Peak_fraction\",%f,\"LF\","
  PUT_LITERAL(s, "\"SWBS\",\"");
  put_text(s, ld->swbs);
  PUT_LITERAL(s, "\",\"");
  put_text(s, ld->name);
  PUT_LITERAL(s, "\",\"Connected_Load_KW\",");
  put_real(s, ld->connected_load);
  PUT_LITERAL(s, ",\"Peak_fraction\",");
  put_real(s, ld->peak_fraction);
  PUT_LITERAL(s, ",\"LF\",");
}

// Clears every load's line start, and tells whether making them pays: with
// about one line per load they would only be made twice over.
static int forget_line_starts(LoadStudy *z) {
  long loads = 0, lines = 0;
  for (Load *ld = z->ld; ld; ld = ld->next, loads++) ld->line_start = nullptr;
  for (Results *rs = z->r; rs; rs = rs->next) lines += rs->nbr_lf;
  return lines >= 2 * loads;
}

// A load has a line under most pairs: its line start is made once, in the
// model's memory. With worker threads, this thread makes them while the
// workers begin: a worker makes a line in full when its load has no line
// start yet, which gives the same text. Without memory, every line is made in full.
static void make_line_starts(LoadStudy *z) {
  ReportSink scratch = {nullptr, (char *)kpm_calloc(1, REPORT_CHUNK_SIZE), 0, REPORT_CHUNK_SIZE, 0};
  for (Load *ld = z->ld; ld && scratch.buf; ld = ld->next) {
    scratch.len = 0;
    put_line_start(&scratch, ld);
    char *copy = scratch.failed ? nullptr : (char *)model_take(scratch.len);
    if (!copy) break;
    memcpy(copy, scratch.buf, scratch.len);
    ld->line_start_length = scratch.len;
    __atomic_store_n(&ld->line_start, copy, __ATOMIC_RELEASE); // a worker may be looking
  }
  free(scratch.buf);
}

// Load lines [begin, end) of a block.
static void put_load_lines(ReportSink *s, Results *rs, int begin, int end) {
  for (int i = begin; i < end; i++) {
    if (i + PREFETCH_LINES < end) __builtin_prefetch(rs->lfs[i + PREFETCH_LINES]);
    if (i + PREFETCH_LINES / 2 < end) __builtin_prefetch(rs->lfs[i + PREFETCH_LINES / 2]->ld);
    if (i + PREFETCH_LINES / 4 < end)
      __builtin_prefetch(__atomic_load_n(&rs->lfs[i + PREFETCH_LINES / 4]->ld->line_start, __ATOMIC_RELAXED));
    LoadFactor *lf = rs->lfs[i];
    Load *ld = lf->ld;
    // "...%f,%f,\"KPM\",%f,%f\n" after the line start
    const char *start = __atomic_load_n(&ld->line_start, __ATOMIC_ACQUIRE);
    if (start)
      put_bytes(s, start, ld->line_start_length);
    else
      put_line_start(s, ld);
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

// A piece of the report: from line begin of block rs (with the block's
// heading when begin is 0) up to line end of block last, the blocks between
// in full. A study with many pairs has small blocks: they are gathered into
// pieces of about the same size as the pieces of a large block.
struct ReportPiece {
  Results *rs; // null: past the end of the report
  int begin;
  Results *last;
  int end;
};

// A block's heading weighs as much as this many load lines in a piece.
static const int HEADING_LINES = 8;

static void put_piece(ReportSink *s, const ReportPiece *p) {
  for (Results *rs = p->rs;; rs = rs->next) {
    int begin = rs == p->rs ? p->begin : 0;
    if (begin == 0) put_heading(s, rs);
    put_load_lines(s, rs, begin, rs == p->last ? p->end : rs->nbr_lf);
    if (rs == p->last) break;
  }
}

// The piece that starts at line begin of block rs.
static ReportPiece piece_at(Results *rs, int begin) {
  ReportPiece p = {rs, begin, rs, begin};
  long budget = REPORT_PIECE_LINES;
  for (Results *r = rs; r; r = r->next) {
    int first = r == rs ? begin : 0;
    if (first == 0) budget -= HEADING_LINES;
    // A heading comes with at least one of its lines, so that the next
    // piece never starts a block that has had its heading.
    long room = budget > 0 ? budget : first == 0 ? 1 : 0;
    int end = r->nbr_lf - first > room ? first + (int)room : r->nbr_lf;
    p.last = r;
    p.end = end;
    budget -= end - first;
    if (end < r->nbr_lf || budget <= 0) break;
  }
  return p;
}

static ReportPiece next_piece(ReportPiece p) {
  return p.end < p.last->nbr_lf ? piece_at(p.last, p.end) : piece_at(p.last->next, 0);
}

static long count_pieces(Results *r) {
  long n = 0;
  for (ReportPiece p = piece_at(r, 0); p.rs; p = next_piece(p)) n++;
  return n;
}

// One slot per piece in flight: piece n goes to slot n % slots, once the
// writer is done with piece n - slots.
struct ReportSlot {
  ReportPiece piece;
  ReportSink text;
  long ready; // number of the piece whose text is complete here; -1 for none yet
};

// What the workers and the writer share, under lock.
struct ReportWork {
  pthread_mutex_t lock;
  pthread_cond_t changed; // a piece was taken, formatted or written
  ReportSlot *slot;
  int slots;
  ReportPiece next; // the next piece to hand out
  long handed;      // pieces handed out
  long written;     // pieces written
};

static void *report_worker(void *arg) {
  ReportWork *w = (ReportWork *)arg;
  pthread_mutex_lock(&w->lock);
  while (w->next.rs) {
    long n = w->handed++;
    ReportSlot *slot = &w->slot[n % w->slots];
    ReportPiece piece = w->next;
    w->next = next_piece(w->next);
    while (w->written <= n - w->slots) pthread_cond_wait(&w->changed, &w->lock);
    pthread_mutex_unlock(&w->lock);

    slot->piece = piece;
    slot->text.len = 0;
    put_piece(&slot->text, &piece);

    pthread_mutex_lock(&w->lock);
    slot->ready = n;
    pthread_cond_broadcast(&w->changed);
  }
  pthread_mutex_unlock(&w->lock);
  return nullptr;
}

// Writes the blocks with worker threads formatting ahead, while this thread
// makes the line starts when line_starts is set. 0 when done; 1 when not even
// one worker could start (nothing has been written then).
static int write_blocks_with_workers(LoadStudy *z, FILE *out, ReportSink *direct, int workers, int line_starts) {
  long pieces = count_pieces(z->r);
  if (workers > CALC_MAX_WORKERS) workers = CALC_MAX_WORKERS;
  if (workers < 2 || pieces < 2) return 1;
  ReportWork w;
  memset(&w, 0, sizeof w);
  w.slots = workers * REPORT_SLOTS_PER_WORKER;
  w.slot = (ReportSlot *)kpm_calloc((size_t)w.slots, sizeof(ReportSlot));
  if (!w.slot) return 1;
  int ok = 1;
  for (int i = 0; i < w.slots; i++) {
    w.slot[i].ready = -1;
    w.slot[i].text.cap = REPORT_PIECE_ROOM;
    w.slot[i].text.buf = (char *)kpm_calloc(1, REPORT_PIECE_ROOM);
    if (!w.slot[i].text.buf) ok = 0;
  }
  pthread_t thread[CALC_MAX_WORKERS];
  int started = 0;
  if (ok) {
    pthread_mutex_init(&w.lock, nullptr);
    pthread_cond_init(&w.changed, nullptr);
    w.next = piece_at(z->r, 0);
    while (started < workers && pthread_create(&thread[started], nullptr, report_worker, &w) == 0) started++;
  }
  if (started > 0) {
    if (line_starts) make_line_starts(z);
    for (long n = 0; n < pieces; n++) {
      ReportSlot *slot = &w.slot[n % w.slots];
      pthread_mutex_lock(&w.lock);
      while (slot->ready != n) pthread_cond_wait(&w.changed, &w.lock);
      pthread_mutex_unlock(&w.lock);
      if (slot->text.failed) {
        // No memory for the piece's text: this thread writes it through its own buffer.
        put_piece(direct, &slot->piece);
        flush_sink(direct);
        slot->text.failed = 0;
      } else {
        fwrite(slot->text.buf, 1, slot->text.len, out);
      }
      pthread_mutex_lock(&w.lock);
      w.written = n + 1;
      pthread_cond_broadcast(&w.changed);
      pthread_mutex_unlock(&w.lock);
    }
    for (int i = 0; i < started; i++) pthread_join(thread[i], nullptr);
  }
  if (ok) {
    pthread_cond_destroy(&w.changed);
    pthread_mutex_destroy(&w.lock);
  }
  for (int i = 0; i < w.slots; i++) free(w.slot[i].text.buf);
  free(w.slot);
  return started > 0 ? 0 : 1;
}

// 1 when the report path names the study file itself, under any spelling or
// link: opening it for writing would destroy the study before a line of the
// report exists.
static int is_study_file(const char *outfile, const char *xmlfile) {
  struct stat out, in;
  if (!xmlfile || stat(outfile, &out) != 0 || stat(xmlfile, &in) != 0) return 0;
  return out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}

void print_results(LoadStudy *z) {
  static char chunk[REPORT_CHUNK_SIZE];

  if (!z) exit(1);

  // A report file that is kpm's own standard output or error is opened as
  // the path says, as is a device or a file of several links; any other is
  // written beside its target and renamed into place when complete.
  static OutputFile report;
  FILE *out = stdout;
  if (z->outfile) {
    out = is_study_file(z->outfile, z->xmlfile) || output_open(&report, z->outfile, OUTPUT_STDOUT | OUTPUT_STDERR) != 0
              ? nullptr
              : report.f;
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

  int line_starts = forget_line_starts(z);
  ReportSink direct = {out, chunk, 0, REPORT_CHUNK_SIZE, 0};
  if (write_blocks_with_workers(z, out, &direct, calc_workers(), line_starts) != 0) {
    if (line_starts) make_line_starts(z);
    for (ReportPiece p = piece_at(z->r, 0); p.rs; p = next_piece(p)) put_piece(&direct, &p);
    flush_sink(&direct);
  }

  // Standard output is checked by main at the end of the run; a report file
  // that was cut short must not pass for a finished one.
  if (out != stdout) {
    int failed = ferror(out);
    if (failed)
      output_discard(&report);
    else if (output_commit(&report) != 0)
      failed = 1;
    if (failed) {
      fprintf(stderr, " *** ERROR: Unable to write to output file %s\n", z->outfile);
      exit(1);
    }
  }
}
