// Corrections killed in the middle: a lock holder killed, and edits killed
// inside a write (RLIMIT_FSIZE in a forked child) completed by the next
// process. POSIX only: they fork.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/errors.hpp"
#include "common/file_lock.hpp"
#include "common/json.hpp"
#include "pen/corrections.hpp"
#include "test_support.hpp"

using namespace mirelo;
using test_support::slurp;
using test_support::spit;
namespace fs = std::filesystem;

namespace {

struct TempDir : test_support::TempDir {
  TempDir() : test_support::TempDir("mirelo_corrections_killed_") {}
};

}  // namespace

TEST(FileLock, TheKernelDropsTheLockOfAKilledProcess) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FileLock held(dir / "lock", true);
    if (!held.try_lock(FileLock::Mode::Exclusive)) ::_exit(1);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  FileLock mine(dir / "lock", true);
  EXPECT_FALSE(mine.try_lock(FileLock::Mode::Exclusive));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(mine.try_lock(FileLock::Mode::Exclusive));
  ::close(ready[0]);
  ::close(ready[1]);
}

namespace {

// A clip of three frames whose ids sit far into each file, past `pad`
// bytes of another member, so that a write limit below that offset lets the
// journal through and stops the edit inside the files.
std::vector<std::string> write_clip(const TempDir& dir, size_t pad) {
  std::vector<std::string> texts;
  for (int f = 0; f < 3; ++f) {
    std::string text = "{\"pad\": \"" + std::string(pad, 'p') +
                       "\", \"detections\": [{\"object_id\": 9, \"v\": 1.50}, {\"object_id\": 10, \"v\": -0.0}]}";
    spit(dir / ("output_pp_" + std::to_string(f) + ".json"), text);
    texts.push_back(text);
  }
  return texts;
}

EditRequest swap_request(int64_t a, int64_t b) {
  EditRequest r;
  r.operation = "swap_identities";
  r.arguments = parse_json("{}");
  r.steps.push_back(IdEdit{IdEditKind::Swap, a, b, std::nullopt, std::nullopt, MergeConflict::Refuse});
  return r;
}

// Runs the edit in a child that the system kills (SIGXFSZ) when it writes
// past `limit` bytes of any file; returns the child's signal.
int edit_killed_past(const std::string& dir, const EditRequest& request, size_t limit) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_DFL);
    const struct rlimit l {limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &l);
    try {
      edit_clip(dir, request);
    } catch (...) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
}

}  // namespace

TEST(Corrections, AWriteKilledInsideAFileIsCompletedByTheNextProcess) {
  TempDir dir;
  const size_t pad = 6000;
  const std::vector<std::string> before = write_clip(dir, pad);
  // Ids of one and two digits: each file's change is one region written
  // over in place, cut by the limit in its middle.
  const size_t id_at = before[0].find("\"object_id\": 9") + 13;
  ASSERT_EQ(edit_killed_past(dir.path.string(), swap_request(9, 10), id_at + 5), SIGXFSZ);
  EXPECT_TRUE(fs::exists(dir / ".corrections/journal"));
  const std::string torn = slurp(dir / "output_pp_0.json");
  EXPECT_NE(torn, before[0]);
  EXPECT_EQ(torn.substr(0, id_at + 5), before[0].substr(0, id_at) + "10, \"");  // written up to the limit

  ASSERT_TRUE(recover_clip_edit(dir.path.string()).has_value());
  EXPECT_FALSE(fs::exists(dir / ".corrections/journal"));
  for (int f = 0; f < 3; ++f) {
    std::string expected = before[static_cast<size_t>(f)];
    const size_t nine = expected.find("\"object_id\": 9"), ten = expected.find("\"object_id\": 10");
    expected.replace(ten + 13, 2, "9");
    expected.replace(nine + 13, 1, "10");
    EXPECT_EQ(slurp(dir / ("output_pp_" + std::to_string(f) + ".json")), expected) << f;
  }
  const std::vector<LoggedEdit> log = clip_edit_history(dir.path.string());
  ASSERT_EQ(log.size(), 1u);
  undo_clip_edit(dir.path.string());
  for (int f = 0; f < 3; ++f) EXPECT_EQ(slurp(dir / ("output_pp_" + std::to_string(f) + ".json")), before[static_cast<size_t>(f)]);
}

TEST(Corrections, AJournalCutShortIsNoEdit) {
  TempDir dir;
  const std::vector<std::string> before = write_clip(dir, 10);
  // Killed while writing the journal: nothing of the edit exists.
  EXPECT_EQ(edit_killed_past(dir.path.string(), swap_request(9, 10), 100), SIGXFSZ);
  EXPECT_FALSE(fs::exists(dir / ".corrections/journal"));
  EXPECT_FALSE(recover_clip_edit(dir.path.string()).has_value());
  for (int f = 0; f < 3; ++f) EXPECT_EQ(slurp(dir / ("output_pp_" + std::to_string(f) + ".json")), before[static_cast<size_t>(f)]);
  EXPECT_TRUE(clip_edit_history(dir.path.string()).empty());
}

TEST(Corrections, AFileChangedByHandStopsTheRecoveryUntilGivenUp) {
  TempDir dir;
  const std::vector<std::string> before = write_clip(dir, 6000);
  const size_t id_at = before[0].find("\"object_id\": 9") + 13;
  ASSERT_EQ(edit_killed_past(dir.path.string(), swap_request(9, 10), id_at + 5), SIGXFSZ);
  spit(dir / "output_pp_0.json", "{\"detections\": []}");
  try {
    recover_clip_edit(dir.path.string());
    ADD_FAILURE();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("--abandon"), std::string::npos) << e.what();
  }
  EXPECT_THROW(ClipReadGuard guard(dir.path.string()), ValueError);
  const std::optional<std::string> done = recover_clip_edit(dir.path.string(), true);
  ASSERT_TRUE(done.has_value());
  EXPECT_NE(done->find("output_pp_0.json"), std::string::npos);
  EXPECT_EQ(slurp(dir / "output_pp_0.json"), "{\"detections\": []}");
  EXPECT_EQ(slurp(dir / "output_pp_1.json"), before[1]);
  EXPECT_FALSE(fs::exists(dir / ".corrections/journal"));
}
