// Output files that never lose or misplace a file, for kpm's report and the
// companion programs' outputs alike: one rule, written once.
//
// A target that does not exist, or is a regular file, is written to a
// temporary file beside it and renamed over it when complete, so that a
// failed or interrupted run leaves the previous file byte for byte. A
// symbolic link (even a dangling one) is followed to the file it ends at,
// which is replaced; the link stays a link. Written directly, as the shell's
// ">" would, are: a target that exists and is not a regular file (a device,
// a FIFO, a socket), one that is the same file as a standard stream the
// caller names, and a regular file with more than one hard link (the links
// keep sharing it). Where no temporary file can be made beside the target,
// or the rename is refused, the target is written in place. A new file gets
// the mode ">" would give it (0666 less the umask); a replaced one keeps its
// mode, and its owner and group where the process may set them. An existing
// target that ">" could not open is refused and left as it is.
//
// Temporary files (this module's and any a program makes with temp_file_make)
// are removed when the process exits, and by SIGINT, SIGTERM, SIGHUP, SIGPIPE
// and SIGXFSZ, which then end the process by the same signal with its default
// action. A signal ignored when the process started stays ignored.
#ifndef KPM_CALC_OUTPUT_FILE_H
#define KPM_CALC_OUTPUT_FILE_H

#include <climits>
#include <cstdio>

// How an output reaches its target.
enum {
  OUTPUT_REPLACE = 1, // a temporary file beside the target, renamed over it by output_commit
  OUTPUT_DIRECT,      // the path opened as given (mode "w"): not a regular file, a stream's file, several links
  OUTPUT_IN_PLACE     // the path opened as given (mode "w"): no temporary file could be made beside it
};

// Standard streams whose file output_open writes directly (a bit mask).
enum { OUTPUT_STDIN = 1, OUTPUT_STDOUT = 2, OUTPUT_STDERR = 4 };

// Temporary files pending at once, at most: a program has a few outputs.
const int OUTPUT_MAX_TEMPS = 16;
// Symbolic links followed from an output path to its file, as the kernel's own limit.
const int OUTPUT_MAX_LINKS = 40;

struct OutputFile {
  FILE *f;               // where to write; null when the output is not open
  int way;               // OUTPUT_REPLACE, OUTPUT_DIRECT or OUTPUT_IN_PLACE
  int temp;              // OUTPUT_REPLACE: the temporary file (see temp_file_name); -1 otherwise
  char target[PATH_MAX]; // OUTPUT_REPLACE: the file renamed over, links followed
};

// Opens path for writing by the rule above; streams (OUTPUT_STDIN ...) names
// the standard streams whose file is written directly. 0 with o->f open; or
// the errno of the failure (the path that cannot be opened, ">"'s refusal of
// an existing file such as EACCES), with nothing changed and nothing open.
// Allocates nothing.
int output_open(OutputFile *o, const char *path, int streams);
// Completes the output: flushes and closes it, then renames the temporary
// file over the target (or, where the rename is refused, copies it into the
// target in place). 0 on success; otherwise an errno, the temporary file
// removed and a replaced target left as it was.
int output_commit(OutputFile *o);
// Abandons the output: closes it and removes the temporary file; a replaced
// target is left as it was. Does nothing for an output that is not open.
void output_discard(OutputFile *o);

// The standard stream (0, 1 or 2) among streams whose file path names, or -1.
int output_stream_of(const char *path, int streams);
// The name that path's symbolic links end at (it may not exist), into buf of
// size n. 0, or ELOOP past OUTPUT_MAX_LINKS links, ENAMETOOLONG, or the errno
// of a link that cannot be read.
int output_follow_links(const char *path, char *buf, size_t n);

// Splits path into its folder, written to folder (of size PATH_MAX): "."
// when path has none, "/" for "/x". Returns the offset of the last part in
// path (empty for "" and "x/").
size_t output_split(const char *path, char *folder);

// Makes an empty temporary file with a short name in folder (null: the
// current one), open for reading and writing, pending removal at exit or by
// a signal until temp_file_remove or temp_file_forget. Returns its
// descriptor and sets *slot; -1 with errno on failure.
int temp_file_make(const char *folder, int *slot);
// The path of the pending temporary file in slot.
const char *temp_file_name(int slot);
// Removes the temporary file in slot and forgets it.
void temp_file_remove(int slot);
// Renames the temporary file in slot to target and forgets it. 0, or an errno
// (the file stays pending).
int temp_file_rename(int slot, const char *target);

#endif
