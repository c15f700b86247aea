// Output files: replaced whole through a temporary file, written directly
// where a rename would replace the wrong thing, in place where no temporary
// file can be made or renamed, refused where the shell's ">" would refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "calc/output_file.h"
#include "tests/calc/model_builder.h"

namespace {

const uid_t NOBODY = 65534;

struct Folder {
  std::string path;
  Folder() {
    std::string tmpl = testing::TempDir() + "kpm_output_test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    path = mkdtemp(buf.data());
    chmod(path.c_str(), 0755); // reachable by the tests that run as another user
  }
  ~Folder() { system(("chmod -R u+w '" + path + "'; rm -rf '" + path + "'").c_str()); }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
  std::string names() const;
};

// The names in a folder, sorted: a temporary file left behind shows here.
std::string names_in(const std::string &folder) {
  std::vector<std::string> v;
  DIR *d = opendir(folder.c_str());
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) v.push_back(e->d_name);
  closedir(d);
  std::sort(v.begin(), v.end());
  std::string s;
  for (auto &n : v) s += n + " ";
  return s;
}

std::string Folder::names() const { return names_in(path); }

void put_file(const std::string &path, const std::string &text, mode_t mode = 0644) {
  FILE *f = fopen(path.c_str(), "w");
  fputs(text.c_str(), f);
  fclose(f);
  chmod(path.c_str(), mode);
}

// Opens, writes text and commits; the errno of the first failure, or 0.
int write_output(const std::string &path, const std::string &text, int streams = 0) {
  OutputFile o;
  int err = output_open(&o, path.c_str(), streams);
  if (err) return err;
  fputs(text.c_str(), o.f);
  return output_commit(&o);
}

// Runs f in a child process as the user nobody (when this one is root, as
// in CI); its result is the child's exit status.
template <class F> int as_nobody(F f) {
  pid_t pid = fork();
  if (pid == 0) {
    if (getuid() == 0 && (setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) _exit(99);
    _exit(f());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

mode_t mode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(OutputFile, NewAndReplacedFilesAppearOnlyWhenComplete) {
  Folder d;
  std::string target = d / "out.csv";
  mode_t mask = umask(027);
  OutputFile o;
  ASSERT_EQ(output_open(&o, target.c_str(), 0), 0);
  EXPECT_EQ(o.way, OUTPUT_REPLACE);
  fputs("new\n", o.f);
  EXPECT_NE(access(target.c_str(), F_OK), 0) << "visible before it is complete";
  EXPECT_EQ(output_commit(&o), 0);
  umask(mask);
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(mode_of(target), 0640u) << "the mode '>' gives a new file under umask 027";

  // A replaced file keeps its mode, owner and group; discarded output leaves it be.
  put_file(target, "old\n", 0604);
  int root = getuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), NOBODY, NOBODY), 0);
  }
  ASSERT_EQ(output_open(&o, target.c_str(), 0), 0);
  fputs("new\n", o.f);
  output_discard(&o);
  EXPECT_EQ(read_file(target), "old\n");
  ASSERT_EQ(write_output(target, "newer\n"), 0);
  EXPECT_EQ(read_file(target), "newer\n");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(st.st_uid, NOBODY) << "root replaced a file: the owner must stay";
    EXPECT_EQ(st.st_gid, NOBODY);
  }
  EXPECT_EQ(d.names(), "out.csv ");
}

TEST(OutputFile, AFailedWriteLeavesTheTargetAndNoTemporaryFile) {
  Folder d;
  std::string target = d / "out.csv";
  put_file(target, "old\n");
  OutputFile o;
  ASSERT_EQ(output_open(&o, target.c_str(), 0), 0);
  fputs("new\n", o.f);
  close(fileno(o.f)); // the write fails when flushed
  EXPECT_NE(output_commit(&o), 0);
  EXPECT_EQ(read_file(target), "old\n");
  EXPECT_EQ(d.names(), "out.csv ");
}

TEST(OutputFile, LinksAreFollowedToTheFileTheyEndAtAndStayLinks) {
  Folder d;
  ASSERT_EQ(mkdir((d / "sub").c_str(), 0755), 0);
  put_file(d / "sub/real.csv", "old\n");
  ASSERT_EQ(symlink("sub/real.csv", (d / "link.csv").c_str()), 0);
  ASSERT_EQ(symlink("link.csv", (d / "link2.csv").c_str()), 0);
  ASSERT_EQ(symlink("new.csv", (d / "sub/dangling.csv").c_str()), 0); // relative to its own folder
  ASSERT_EQ(symlink("loop.csv", (d / "loop.csv").c_str()), 0);
  struct {
    const char *path, *file;
  } cases[] = {{"link.csv", "sub/real.csv"}, {"link2.csv", "sub/real.csv"}, {"sub/dangling.csv", "sub/new.csv"}};
  for (auto &c : cases) {
    std::string text = std::string("through ") + c.path + "\n";
    ASSERT_EQ(write_output(d / c.path, text), 0) << c.path;
    EXPECT_EQ(read_file(d / c.file), text) << c.path;
    struct stat st;
    ASSERT_EQ(lstat((d / c.path).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.path << " is no longer a link";
  }
  EXPECT_EQ(d.names(), "link.csv link2.csv loop.csv sub ");
  EXPECT_EQ(write_output(d / "loop.csv", "x"), ELOOP);
  char buf[PATH_MAX];
  EXPECT_EQ(output_follow_links((d / "loop.csv").c_str(), buf, sizeof buf), ELOOP);
}

TEST(OutputFile, DevicesPipesAndSharedFilesAreWrittenDirectly) {
  Folder d;
  // Two hard links share one file: both see the new text, as with ">".
  put_file(d / "a.csv", "old\n");
  ASSERT_EQ(link((d / "a.csv").c_str(), (d / "b.csv").c_str()), 0);
  ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0644), 0);
  int reader = open((d / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const char *paths[] = {"/dev/null", "a.csv", "fifo"};
  for (const char *p : paths) {
    std::string path = p[0] == '/' ? p : d / p;
    OutputFile o;
    ASSERT_EQ(output_open(&o, path.c_str(), 0), 0) << p;
    EXPECT_EQ(o.way, OUTPUT_DIRECT) << p;
    fputs("new\n", o.f);
    EXPECT_EQ(output_commit(&o), 0) << p;
  }
  EXPECT_EQ(read_file(d / "b.csv"), "new\n");
  char got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof got - 1), 4);
  EXPECT_STREQ(got, "new\n");
  close(reader);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(d.names(), "a.csv b.csv fifo ");

  // The file a standard stream is sent to, when the caller names the stream.
  put_file(d / "stream.txt", "");
  int saved = dup(STDERR_FILENO);
  int fd = open((d / "stream.txt").c_str(), O_WRONLY);
  dup2(fd, STDERR_FILENO);
  close(fd);
  OutputFile o;
  int opened = output_open(&o, (d / "stream.txt").c_str(), OUTPUT_STDERR);
  int way = o.way;
  if (opened == 0) output_discard(&o);
  int stream = output_stream_of("/dev/stderr", OUTPUT_STDOUT | OUTPUT_STDERR);
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(way, OUTPUT_DIRECT);
  EXPECT_EQ(stream, STDERR_FILENO);
}

TEST(OutputFile, NamesUpToTheLongestAFolderAllows) {
  Folder d;
  EXPECT_EQ(write_output(d / std::string(255, 'n'), "x"), 0)
      << "a 255-byte name leaves no room for a longer temporary name";
  EXPECT_EQ(write_output(d / std::string(256, 'n'), "x"), ENAMETOOLONG);
  // Names of no file fail when opened, as ">" fails, not when renamed at the end.
  for (std::string path : {std::string(), d / "new/"}) {
    OutputFile o;
    int err = output_open(&o, path.c_str(), 0);
    EXPECT_TRUE(err == ENOENT || err == EISDIR) << "'" << path << "': " << err;
    if (!err) output_discard(&o);
  }
  EXPECT_EQ(d.names(), std::string(255, 'n') + " ");
}

TEST(OutputFile, InPlaceWhenNoTemporaryFileCanBeMade) {
  Folder d;
  std::string target = d / "out.csv";
  put_file(target, "old\n");
  // Every slot for a temporary file taken.
  std::vector<int> slots;
  int slot;
  for (int fd; (fd = temp_file_make(d.path.c_str(), &slot)) >= 0;) {
    close(fd);
    slots.push_back(slot);
  }
  EXPECT_EQ(errno, EMFILE);
  OutputFile o;
  ASSERT_EQ(output_open(&o, target.c_str(), 0), 0);
  EXPECT_EQ(o.way, OUTPUT_IN_PLACE);
  fputs("new\n", o.f);
  EXPECT_EQ(output_commit(&o), 0);
  EXPECT_EQ(read_file(target), "new\n");
  for (int s : slots) temp_file_remove(s);
  EXPECT_EQ(d.names(), "out.csv ");
}

// As another user, where folders and modes bind: refused as ">" refuses,
// in place where the folder allows no new file or no rename.
TEST(OutputFile, PermissionsAsTheShellHasThem) {
  Folder d;
  put_file(d / "ro.csv", "old\n", 0444);
  EXPECT_EQ(as_nobody([&] { return write_output(d / "ro.csv", "new\n"); }), EACCES);
  EXPECT_EQ(read_file(d / "ro.csv"), "old\n");

  if (getuid() != 0) GTEST_SKIP() << "the folders below need another user's files: run as root";
  // A folder the user may not write, holding a file the user may.
  ASSERT_EQ(mkdir((d / "closed").c_str(), 0755), 0);
  put_file(d / "closed/out.csv", "old\n", 0644);
  ASSERT_EQ(chown((d / "closed/out.csv").c_str(), NOBODY, NOBODY), 0);
  EXPECT_EQ(as_nobody([&] { return write_output(d / "closed/out.csv", "new\n"); }), 0);
  EXPECT_EQ(read_file(d / "closed/out.csv"), "new\n");
  EXPECT_EQ(as_nobody([&] { return write_output(d / "closed/new.csv", "new\n"); }), EACCES);

  // A sticky folder refuses the rename over another user's file: written in place.
  ASSERT_EQ(mkdir((d / "sticky").c_str(), 0777), 0);
  ASSERT_EQ(chmod((d / "sticky").c_str(), 01777), 0);
  put_file(d / "sticky/out.csv", "old\n", 0666);
  EXPECT_EQ(as_nobody([&] { return write_output(d / "sticky/out.csv", "new\n"); }), 0);
  EXPECT_EQ(read_file(d / "sticky/out.csv"), "new\n");
  struct stat st;
  ASSERT_EQ(stat((d / "sticky/out.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(names_in(d / "sticky"), "out.csv ") << "a temporary file was left in the sticky folder";
}

} // namespace
