// The study model, its allocators, the study file reader and the preparation
// that orders, links and checks the model and builds one result per pair of
// conditions. Nothing of the model is ever freed: it lives until exit.
#ifndef KPM_STUDY_STUDY_H
#define KPM_STUDY_STUDY_H

#include <cstddef>
#include <cstdio>

struct OperationalCondition {
  char *name; // from the text of a <name> element; never null or empty
  int order;  // sort key, from its order attribute; 0 without one
  OperationalCondition *next;
  int index; // internal: position in the sorted list, set by the preparation
};

struct AmbientCondition {
  char *name; // as for an operational condition
  int order;
  AmbientCondition *next;
  int index; // internal: position in the sorted list, set by the preparation
};

struct LoadFactor;

struct Load {
  char *name;            // may be null
  char *swbs;            // classification code, free text; may be null
  double connected_load; // kW; default 0.0
  double peak_fraction;  // share of the connected load drawn at peak; default 1.0
  double power_factor;   // default 1.0
  LoadFactor *lf;        // load factors, reverse of file order
  Load *next;
  // internal: the text its report lines start with, the same under every pair
  // (set by the report writer; null when it has none)
  const char *line_start;
  size_t line_start_length;
};

// The calculation and the report read a load factor's first five fields,
// millions of times and in no order: they come first, close together.
struct LoadFactor {
  Load *ld;                 // owning load
  double loadfactor;        // default -1.0
  double lf_load;           // kW, connected_load * loadfactor
  double kpm;               // operating factor; default -1.0
  double kpm_load;          // kW, operating load
  char *oc_name;            // value of the oc attribute
  OperationalCondition *oc; // linked by name during preparation
  char *ac_name;            // value of the ac attribute
  AmbientCondition *ac;     // linked by name during preparation
  LoadFactor *next;         // next load factor of the same load
};

struct Results {
  OperationalCondition *oc;
  AmbientCondition *ac;
  double total_connected_load; // kW, of the loads running under the pair
  double total_lf_load;        // kW
  double total_operating_load; // kW
  double total_lf;             // total_lf_load / total_connected_load
  double total_kpm;            // total_operating_load / total_connected_load
  LoadFactor **lfs;            // the pair's load factors, at most one per load, in load-list order
  int nbr_lf;                  // filled entries at the front of lfs
  Results *next;
};

struct StudyCheck;

struct LoadStudy {
  char *xmlfile; // study file path: the command-line argument itself, not a copy; may be null
  char *outfile; // report path (copy); null means standard output
  int debug;     // 1: debug traces on standard output
  char *name;    // study name; may be null
  OperationalCondition *oc;
  int nbr_oc;
  AmbientCondition *ac;
  int nbr_ac;
  Load *ld;
  int nbr_ld;
  Results *r; // one record per pair, operational condition first
  // internal: null for the program's own run, where the first problem of the
  // study ends its stage with its line. A checking tool sets it after
  // init_kpm to be told of every problem instead (see StudyCheck).
  StudyCheck *check;
  // internal: null for the program's own run, which opens xmlfile. A tool
  // that reads the study from a stream it holds (its standard input) sets it
  // after init_kpm; xmlfile then only names the study in messages.
  FILE *xmlstream;
};

struct XMLENTITY;

// The problems of a study on which the reading stage or the preparation
// stops, and the one they report and go on (STUDY_LF_TWICE).
enum {
  STUDY_NO_ITEM = 1,          // the file holds no XML item (status 4)
  STUDY_ROOT_NOT_KPM,         // e: the first item (status 5)
  STUDY_UNKNOWN_TAG,          // e: an element not allowed where it stands (status 6)
  STUDY_LF_UNKNOWN_ATTRIBUTE, // e: the lf, attr: the attribute (status 6)
  STUDY_LF_WITHOUT_CONDITION, // e: an lf without oc or ac (status 6)
  STUDY_LOAD_WITHOUT_LF,      // e: the load (status 6)
  STUDY_NO_OPERATIONAL,       // the preparation's problems (status 1)
  STUDY_NO_AMBIENT,
  STUDY_OC_UNDEFINED,         // ld, lf: its oc names no operational condition
  STUDY_AC_UNDEFINED,         // ld, lf: its ac names no ambient condition
  STUDY_LF_TWICE,             // ld, lf: a pair given again, earlier in the file than lf (not a failure)
  STUDY_LF_RANGE,             // ld, lf
  STUDY_LF_ABOVE_PEAK,        // ld, lf
  STUDY_CONNECTED_LOAD_RANGE, // ld
  STUDY_PEAK_FRACTION_RANGE,  // ld
  STUDY_POWER_FACTOR_RANGE    // ld
};

// What a record was made or set from (StudyCheck::made).
enum {
  STUDY_MADE_LOAD,        // record: the Load made from the load element e
  STUDY_MADE_VALUE,       // record: the Load whose field the value element e set
  STUDY_MADE_LOAD_FACTOR, // record: the LoadFactor made from the lf element e
  STUDY_MADE_OPERATIONAL, // record: the OperationalCondition made from the name element e
  STUDY_MADE_AMBIENT      // record: the AmbientCondition made from the name element e
};

// A checker that wants every problem of a study, not the first: the reader
// and the preparation then print none of their lines, tell the checker of
// each problem and go on, with the same rules as always. The reader maps each
// child of the root as soon as it is read, on the reading thread.
struct StudyCheck {
  // Each problem: the element (and attribute) concerned while reading, the
  // records concerned in the preparation; the others are null.
  void (*problem)(StudyCheck *check, int problem, const XMLENTITY *e, const XMLENTITY *attr, const Load *ld,
                  const LoadFactor *lf);
  // Each child of the root (its names lower-cased), before it is mapped.
  void (*child)(StudyCheck *check, const XMLENTITY *child);
  // Each record made or set from an element, as it is (STUDY_MADE_...).
  void (*made)(StudyCheck *check, int what, const XMLENTITY *e, void *record);
  // The document chain once read, with the reader's status, before anything
  // is looked at: the root's children are gone by then (mapped).
  void (*document)(StudyCheck *check, const XMLENTITY *doc, int errflag);
};

// The range checks of the preparation, one per value: 1 when v fails it.
int load_factor_is_illegal(double v);
int load_factor_above_peak(double v, double peak_fraction);
int connected_load_is_illegal(double v);
int peak_fraction_is_illegal(double v);
int power_factor_is_illegal(double v);

// The order of a condition, as the reader takes it from the text of its
// order attribute (null: written without a value).
int order_value(const char *text);

// Clears every field but xmlfile, outfile and debug. 1 for a null study, else 0.
int init_kpm(LoadStudy *z);

// Allocators: a zero-filled record with its defaults. Never null: out of
// memory prints its own line and ends the process with status 1.
OperationalCondition *alloc_OperationalCondition(void);
AmbientCondition *alloc_AmbientCondition(void);
Load *alloc_Load(void);
LoadFactor *alloc_LoadFactor(void);
Results *alloc_Results(void);

// Lower-cases the ASCII letters of s in place; null does nothing.
void lowerstring(char *s);

// The model's memory: size zero-filled bytes that live until exit (or until
// release_study_memory), or null when memory is exhausted. Records and
// copystring copies come from here; never pass them to free().
void *model_take(size_t size);
// Releases every record and string of the model at once. The program never
// calls it (the process exit does the job); tools that read many studies in
// one process, such as the fuzz targets, do.
void release_study_memory(void);

// The value of a number in a study file, exactly as atof reads it (leading
// white space, the longest numeric prefix, 0 without one), only faster.
double text_to_real(const char *text);

// Lists the prepared study on stream for debugging; does not flush. The
// reader calls it after the preparation of a debug run; it is written with
// the other listings, in calc/dump.cpp.
void print_study(FILE *stream, LoadStudy *z);

// Most threads that read, calculate or format a study at once.
const int CALC_MAX_WORKERS = 4;

// Threads to map, calculate and format with: the processors this process may
// run on (one where the system cannot tell), at most CALC_MAX_WORKERS, unless
// set_calc_workers chose a number.
int calc_workers(void);
// n > 0 fixes the number of threads (1: everything on the calling thread);
// 0 goes back to the processor count. For tests and tools.
void set_calc_workers(int n);

// Reads z->xmlfile into the model and prepares it. 0 on success; -1 no study,
// 1 no file named or the preparation failed, 2 cannot open, 3 XML errors,
// 4 no XML item, 5 root is not <kpm>, 6 unknown tag or attribute, or a load
// without load factors. Each failure has printed its line on standard error.
int read_xml_file(LoadStudy *z);

// The reading part of read_xml_file alone: the study file into the model,
// without the progress line and the preparation (for the companion programs).
// The same statuses and lines, but 1 only for a file not named.
int read_study_file(LoadStudy *z);

// Sorts the conditions, links and checks the load factors and loads, and
// builds z->r. 0 when ready, 1 after an error line on standard error.
int post_process_xml_file(LoadStudy *z);

#endif
