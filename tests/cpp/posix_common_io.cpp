// What the atomic writer, the file reader and the allocation guard do with
// POSIX's own means: processes killed mid-write (fork, RLIMIT_FSIZE),
// address-space limits, permission bits, symbolic links, FIFOs and devices.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/memory.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "test_support.hpp"

using namespace mirelo;
using test_support::thrown;
using test_support::slurp;
namespace fs = std::filesystem;

namespace {

struct TempDir : test_support::TempDir {
  TempDir() : test_support::TempDir("mirelo_io_test_") {}
};

// Runs `body` in a child process that the system kills (SIGXFSZ) as soon as
// it writes past `file_limit` bytes, as a kill in the middle of a write.
void in_child_killed_while_writing(size_t file_limit, const std::function<void()>& body) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_DFL);
    const struct rlimit limit {file_limit, file_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      body();
    } catch (...) {
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
}

}  // namespace

TEST(AtomicWriter, ReplacesKeepingModeAndWritesThroughLinks) {
  TempDir tmp;
  const std::string file = tmp / "a.json", link = tmp / "link.json";
  write_file_atomically(file, "one");
  ::chmod(file.c_str(), 0640);
  fs::create_symlink(file, link);
  write_file_atomically(link, "two");
  EXPECT_EQ(slurp(file), "two");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
  EXPECT_TRUE(tmp.temporaries().empty());
}

TEST(AtomicWriter, NextWriteRemovesTheTemporaryOfAKilledWriter) {
  TempDir tmp;
  const std::string target = tmp / "x.json", other = tmp / "y.json";
  write_file_atomically(target, "old");
  in_child_killed_while_writing(100, [&] { write_file_atomically(target, std::string(1000, 'n')); });
  in_child_killed_while_writing(100, [&] { write_file_atomically(other, std::string(1000, 'n')); });
  ASSERT_EQ(tmp.temporaries().size(), 2u);
  EXPECT_EQ(slurp(target), "old");  // the target itself was never touched

  // Look-alikes that are not stale: this process's own, another host's, and
  // names that only resemble the pattern.
  std::string dead;
  for (const auto& t : tmp.temporaries())
    if (temporary_target(t) == "x.json") dead = t;
  const size_t host_end = dead.find('-');
  const std::string live = ".x.json." + dead.substr(host_end - 8, 8) + "-" + std::to_string(platform::process_id()) + "-abcdefghij.tmp";
  const std::string foreign = ".x.json.0000000g-1-abcdefghij.tmp";  // not a host tag: never ours
  const std::string remote = ".x.json." + std::string(dead.substr(host_end - 8, 8) == "00000000" ? "11111111" : "00000000") +
                             dead.substr(host_end, dead.size() - host_end);
  for (const auto& n : {live, foreign, remote, std::string(".x.json.k3j5h6g7f8.tmp")}) std::ofstream(tmp / n) << "x";
  EXPECT_EQ(temporary_target(foreign), "");

  write_file_atomically(target, "new");
  EXPECT_EQ(slurp(target), "new");
  EXPECT_FALSE(fs::exists(tmp / dead));
  for (const auto& n : {live, foreign, remote}) EXPECT_TRUE(fs::exists(tmp / n)) << n;
  EXPECT_EQ(tmp.temporaries().size(), 3u);  // y.json's stays: another target
  EXPECT_EQ(remove_stale_temporaries(tmp.path.string(), [](std::string_view t) { return t == "y.json"; }), 1u);
}

TEST(AtomicWriter, TemporaryNamesOfLongTargetsStayWithinTheLimit) {
  TempDir tmp;
  const std::string name(240, 'n');
  write_file_atomically(tmp / name, "x");
  in_child_killed_while_writing(10, [&] { write_file_atomically(tmp / name, std::string(100, 'y')); });
  ASSERT_EQ(tmp.temporaries().size(), 1u);
  write_file_atomically(tmp / name, "z");
  EXPECT_TRUE(tmp.temporaries().empty());
  EXPECT_EQ(slurp(tmp / name), "z");
}

// The address-space limit counts: a child limited to 1 GiB refuses 2 GiB.
TEST(MemoryGuard, FollowsTheAddressSpaceLimit) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const struct rlimit limit {uint64_t{1} << 30, uint64_t{1} << 30};
    ::setrlimit(RLIMIT_AS, &limit);
    ::_exit(fits_in_memory(uint64_t{2} << 30, 1) || !fits_in_memory(uint64_t{1} << 29, 1) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ReadFile, ReadsOnlyRegularFilesWithoutOpeningOthers) {
  TempDir dir;
  const std::string fifo = dir / "fifo.json", link = dir / "zero.json", plain = dir / "plain.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", link);
  std::ofstream(plain) << "{}";
  // A FIFO without a writer would block an open() for reading: the test
  // finishing at all shows it is never opened.
  EXPECT_EQ(thrown([&] { read_file(fifo); }), "expected a regular file, got a FIFO: '" + fifo + "'");
  EXPECT_EQ(thrown([&] { read_file(link); }), "expected a regular file, got a character device: '" + link + "'");
  EXPECT_EQ(thrown([&] { require_regular_file(fifo); }), "expected a regular file, got a FIFO: '" + fifo + "'");
  EXPECT_EQ(special_file_problem(link), "expected a regular file, got a character device: '" + link + "'");
  EXPECT_EQ(special_file_problem(plain), "");
  EXPECT_EQ(special_file_problem(dir / "missing"), "");
  try {
    read_file(dir.path.string());
    FAIL();
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number, EISDIR);
  }
  EXPECT_EQ(read_file(plain), "{}");
  // Nor is a special file replaced by a write, directly or through a link.
  const std::string to_fifo = dir / "report.csv";
  fs::create_symlink(fifo, to_fifo);
  EXPECT_EQ(thrown([&] { write_file_atomically(fifo, "x"); }), "expected a regular file, got a FIFO: '" + fifo + "'");
  EXPECT_EQ(thrown([&] { write_file_atomically(to_fifo, "x", {true, true, "could not write"}); }),
            "could not write: expected a regular file, got a FIFO: '" + to_fifo + "'");
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(dir.temporaries().empty());
}

TEST(ReadFile, TrustsNoSizeItHasNotChecked) {
  // A regular file whose size says 0 but that has content, as one that grows
  // while it is read.
  EXPECT_EQ(thrown([] { read_file("/proc/self/status"); }),
            "the file grew while it was read (past the 0 bytes it had when opened): '/proc/self/status'");
  // A file larger than the process may hold is refused before any read.
  TempDir dir;
  const std::string big = dir / "big.json";
  std::ofstream(big).close();
  fs::resize_file(big, uint64_t{2} << 30);  // sparse
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const struct rlimit limit {uint64_t{1} << 30, uint64_t{1} << 30};
    ::setrlimit(RLIMIT_AS, &limit);
    try {
      read_file(big);
    } catch (const MemoryError& e) {
      ::_exit(std::string(e.what()).rfind("Unable to allocate 2.00 GiB for the content of '" + big + "'", 0) == 0 ? 0 : 2);
    } catch (...) {
    }
    ::_exit(1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

