// Output files by one rule, and temporary files that no exit or signal
// leaves behind.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calc/output_file.h"

// A temporary file's name in its folder: short, so that any name the folder
// allows for the target leaves room for it; hidden, as editors' are.
static const char TEMP_NAME[] = ".kpm-XXXXXX";
// The signals that end a program while it may have a temporary file pending.
static const int CLEAN_UP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};
// Bytes per read and write when a refused rename is made good in place.
static const size_t COPY_CHUNK = 1 << 16;

// The pending temporary files. A signal handler reads them, so a name is
// complete before its slot is marked used, and both change with the
// signals blocked.
static char temp_name[OUTPUT_MAX_TEMPS][PATH_MAX];
static volatile sig_atomic_t temp_used[OUTPUT_MAX_TEMPS];

static void remove_temps(void) {
  for (int i = 0; i < OUTPUT_MAX_TEMPS; i++)
    if (temp_used[i]) unlink(temp_name[i]);
}

// Async-signal-safe: unlink, then the signal's own default action.
static void remove_temps_and_end(int sig) {
  remove_temps();
  signal(sig, SIG_DFL);
  raise(sig); // delivered when the handler returns, where it is unblocked
}

// Installed with the first temporary file. A signal whose action is not the
// default (ignored under nohup or trap '' PIPE) is left as it is.
static void guard_temps(void) {
  static int guarded;
  if (guarded) return;
  guarded = 1;
  atexit(remove_temps);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = remove_temps_and_end;
  sigemptyset(&sa.sa_mask);
  for (int sig : CLEAN_UP_SIGNALS) sigaddset(&sa.sa_mask, sig);
  for (int sig : CLEAN_UP_SIGNALS) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0) continue;
    if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;
    sigaction(sig, &sa, nullptr);
  }
}

static void block_signals(sigset_t *saved) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : CLEAN_UP_SIGNALS) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, saved);
}

static void restore_signals(const sigset_t *saved) { pthread_sigmask(SIG_SETMASK, saved, nullptr); }

int temp_file_make(const char *folder, int *slot) {
  guard_temps();
  size_t n = folder ? strlen(folder) : 0;
  int slash = n > 0 && folder[n - 1] != '/';
  if (n + (size_t)slash + sizeof TEMP_NAME > PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  sigset_t saved;
  block_signals(&saved);
  int i = 0;
  while (i < OUTPUT_MAX_TEMPS && temp_used[i]) i++;
  int fd = -1, err = EMFILE;
  if (i < OUTPUT_MAX_TEMPS) {
    char *name = temp_name[i];
    if (n) memcpy(name, folder, n);
    if (slash) name[n] = '/';
    memcpy(name + n + slash, TEMP_NAME, sizeof TEMP_NAME);
    fd = mkstemp(name);
    err = errno;
    if (fd >= 0) {
      temp_used[i] = 1;
      *slot = i;
    }
  }
  restore_signals(&saved);
  errno = err;
  return fd;
}

const char *temp_file_name(int slot) { return temp_name[slot]; }

void temp_file_remove(int slot) {
  sigset_t saved;
  block_signals(&saved);
  if (temp_used[slot]) unlink(temp_name[slot]);
  temp_used[slot] = 0;
  restore_signals(&saved);
}

int temp_file_rename(int slot, const char *target) {
  sigset_t saved;
  block_signals(&saved);
  int err = rename(temp_name[slot], target) == 0 ? 0 : errno;
  if (!err) temp_used[slot] = 0;
  restore_signals(&saved);
  return err;
}

int output_stream_of(const char *path, int streams) {
  struct stat st, fs;
  if (stat(path, &st) != 0) return -1;
  for (int fd = 0; fd <= 2; fd++)
    if ((streams & (1 << fd)) && fstat(fd, &fs) == 0 && fs.st_dev == st.st_dev && fs.st_ino == st.st_ino) return fd;
  return -1;
}

int output_follow_links(const char *path, char *buf, size_t n) {
  size_t len = strlen(path);
  if (len + 1 > n) return ENAMETOOLONG;
  memcpy(buf, path, len + 1);
  for (int links = 0;; links++) {
    struct stat st;
    if (lstat(buf, &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    if (links == OUTPUT_MAX_LINKS) return ELOOP;
    char to[PATH_MAX];
    ssize_t got = readlink(buf, to, sizeof to);
    if (got < 0) return errno;
    if ((size_t)got == sizeof to) return ENAMETOOLONG;
    // A relative link is read from the link's own folder.
    const char *slash = strrchr(buf, '/');
    size_t keep = to[0] == '/' || !slash ? 0 : (size_t)(slash - buf) + 1;
    if (keep + (size_t)got + 1 > n) return ENAMETOOLONG;
    memcpy(buf + keep, to, (size_t)got);
    buf[keep + (size_t)got] = '\0';
  }
}

size_t output_split(const char *path, char *folder) {
  const char *slash = strrchr(path, '/');
  size_t n = !slash ? 0 : slash == path ? 1 : (size_t)(slash - path); // "/x" lies in "/"
  memcpy(folder, slash ? path : ".", slash ? n : 1);
  folder[slash ? n : 1] = '\0';
  return slash ? (size_t)(slash - path) + 1 : 0;
}

// The path opened as the shell's ">" opens it.
static int open_as_given(OutputFile *o, const char *path, int way) {
  o->f = fopen(path, "w");
  if (!o->f) return errno;
  o->way = way;
  return 0;
}

int output_open(OutputFile *o, const char *path, int streams) {
  o->f = nullptr;
  o->way = 0;
  o->temp = -1;
  o->target[0] = '\0';
  struct stat st;
  int exists = stat(path, &st) == 0;
  if (!exists && errno != ENOENT) return open_as_given(o, path, OUTPUT_DIRECT); // fails as ">" would
  // A file renamed over a device, a FIFO or a standard stream's file would
  // replace the thing itself; one renamed over a file of several links
  // would part it from the others.
  if (exists && (!S_ISREG(st.st_mode) || st.st_nlink > 1 || output_stream_of(path, streams) >= 0))
    return open_as_given(o, path, OUTPUT_DIRECT);
  if (exists) {
    // What ">" could not open is refused, not replaced behind its back.
    int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
  }
  // The temporary file goes beside the file that the links end at, so that
  // the rename stays on its file system and the links stay links. That name
  // must still lead to what path did: a link of the process's own
  // (/proc/self/fd) may read as a name that is no file.
  struct stat final;
  if (output_follow_links(path, o->target, sizeof o->target) != 0 ||
      (stat(o->target, &final) == 0 ? !exists || final.st_dev != st.st_dev || final.st_ino != st.st_ino : exists))
    return open_as_given(o, path, OUTPUT_IN_PLACE);
  // A name that names no file (the empty path, "new/") fails as ">" fails.
  char folder[PATH_MAX];
  if (!o->target[output_split(o->target, folder)]) return open_as_given(o, path, OUTPUT_DIRECT);
  int fd = temp_file_make(folder, &o->temp);
  if (fd < 0) return open_as_given(o, path, OUTPUT_IN_PLACE);
  if (exists) {
    // Owner first: a change of owner clears the set-user-ID bits that the mode restores.
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, (uid_t)-1, st.st_gid) != 0) {
      // Not permitted: the file becomes the process's, as any file it writes.
    }
    fchmod(fd, st.st_mode & 07777);
  } else {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  o->f = fdopen(fd, "w");
  if (!o->f) {
    int err = errno;
    close(fd);
    temp_file_remove(o->temp);
    o->temp = -1;
    return err;
  }
  o->way = OUTPUT_REPLACE;
  return 0;
}

// Writes all of n bytes; 0 or an errno.
static int write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno;
    p += put;
    n -= (size_t)put;
  }
  return 0;
}

// A rename that the folder refuses (sticky, a busy target) is made good as
// the shell would write: the complete temporary file is copied over the
// target's bytes.
static int copy_in_place(const char *from, const char *to) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
  if (out < 0) {
    int err = errno;
    close(in);
    return err;
  }
  static char buf[COPY_CHUNK];
  int err = 0;
  for (;;) {
    ssize_t got = read(in, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) err = errno;
      break;
    }
    err = write_all(out, buf, (size_t)got);
    if (err) break;
  }
  close(in);
  if (close(out) != 0 && !err) err = errno;
  return err;
}

int output_commit(OutputFile *o) {
  if (!o->f) return EBADF;
  errno = 0;
  int err = fflush(o->f) != 0 || ferror(o->f) ? (errno ? errno : EIO) : 0;
  if (fclose(o->f) != 0 && !err) err = errno ? errno : EIO;
  o->f = nullptr;
  if (o->way != OUTPUT_REPLACE) return err;
  if (!err && temp_file_rename(o->temp, o->target) != 0) err = copy_in_place(temp_file_name(o->temp), o->target);
  temp_file_remove(o->temp); // after a rename, nothing is pending any more
  o->temp = -1;
  return err;
}

void output_discard(OutputFile *o) {
  if (!o->f) return;
  fclose(o->f);
  o->f = nullptr;
  if (o->temp >= 0) temp_file_remove(o->temp);
  o->temp = -1;
}
