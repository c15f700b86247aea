// The study checker behind kpm-check: every problem of a study at once, each
// at its place. It reads the study with kpm's own reader and preparation
// (through StudyCheck), so that it finds an error exactly where kpm would
// stop, and adds warnings for what kpm accepts but an author rarely means.
#ifndef KPM_TOOLS_CHECK_CHECK_H
#define KPM_TOOLS_CHECK_CHECK_H

#include <cstddef>

enum { CHECK_ERROR, CHECK_WARNING, CHECK_NOTE };

struct CheckDiagnostic {
  long line;        // from 1
  long column;      // from 1, in bytes
  int severity;     // CHECK_ERROR, CHECK_WARNING or CHECK_NOTE
  const char *code; // short name of the check ("unknown-tag", "not-a-number", ...)
  char *message;    // one line, owned
  long seq;         // order of finding, which settles equal places
};

struct CheckResult {
  CheckDiagnostic *d; // in file order once check_study returns
  long count;
  long room;
  long errors;
  long warnings; // notes included
};

// Checks the study file path into r (cleared first). 0 when the file was
// read (whatever it holds); TOOL_TROUBLE when it cannot be read, after
// an error line on standard error.
int check_study(const char *path, CheckResult *r);
void free_check_result(CheckResult *r);

// The code of every warning and note, for -W no-CODE, in the order the help
// lists them.
extern const char *const CHECK_WARNING_CODES[];
extern const size_t CHECK_NBR_WARNING_CODES;
// 1 when code is one of them.
int is_warning_code(const char *code);

#endif
