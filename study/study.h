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
};

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
