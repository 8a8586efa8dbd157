// Corrections of a clip folder's annotation files: SHA-256, the detections
// located in a file's bytes, the journal and the audit log read back, the
// folder lock, and edits killed in the middle of a write completed by the
// next process.
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
#include "common/sha256.hpp"
#include "pen/annotation_layout.hpp"
#include "pen/clip_journal.hpp"
#include "pen/corrections.hpp"

using namespace mirelo;
namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path = fs::temp_directory_path() / ("mirelo_corrections_test_" + std::to_string(::getpid()));
  TempDir() {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string slurp(const std::string& p) {
  std::stringstream ss;
  ss << std::ifstream(p, std::ios::binary).rdbuf();
  return ss.str();
}

void spit(const std::string& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::string text_of(std::string_view s, const TextSpan& span) { return std::string(s.substr(span.begin, span.end - span.begin)); }

}  // namespace

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Fed in pieces that cut blocks anywhere: the same digest.
  const std::string text(300, 'x');
  for (size_t cut : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 200u}) {
    Sha256 s;
    s.update(std::string_view(text).substr(0, cut));
    s.update(std::string_view(text).substr(cut));
    const auto d = s.finish();
    std::string hex;
    for (uint8_t b : d) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    EXPECT_EQ(hex, sha256_hex(text)) << cut;
  }
}

TEST(AnnotationLayout, LocatesDetectionsAndTheirIds) {
  struct Case {
    std::string text;
    std::vector<std::string> items, ids;
  };
  const std::vector<Case> cases = {
      {R"({"image_path": "a.png", "detections": [{"object_id": 1, "x": [1, 2]}, {"object_id": 22}]})",
       {R"({"object_id": 1, "x": [1, 2]})", R"({"object_id": 22})"}, {"1", "22"}},
      {"{\n  \"detections\": [\n    {\n      \"xyxy\": [[0,1,2,3]],\n      \"object_id\": 7\n    }\n  ]\n}",
       {"{\n      \"xyxy\": [[0,1,2,3]],\n      \"object_id\": 7\n    }"}, {"7"}},
      // Byte-order mark, escaped key, brackets and quotes inside strings.
      {"\xEF\xBB\xBF{\"detections\":[{\"n\":\"]}\\\"[{\",\"object\\u005fid\":3}]}", {"{\"n\":\"]}\\\"[{\",\"object\\u005fid\":3}"},
       {"3"}},
      // A repeated key: readers keep the last value.
      {R"({"detections": [{"object_id": 1, "object_id": 5}], "detections": [{"object_id": 9}]})",
       {R"({"object_id": 9})"}, {"9"}},
      // No id, an item that is not an object, an empty list.
      {R"({"detections": [{"formatted_polygon": []}, 4]})", {R"({"formatted_polygon": []})", "4"}, {"", ""}},
      {R"({"detections": []})", {}, {}},
  };
  for (const Case& c : cases) {
    const AnnotationLayout layout = locate_detections(c.text);
    ASSERT_TRUE(layout.list) << c.text;
    EXPECT_EQ(c.text[layout.list->begin], '[');
    EXPECT_EQ(c.text[layout.list->end - 1], ']');
    ASSERT_EQ(layout.detections.size(), c.items.size()) << c.text;
    for (size_t k = 0; k < c.items.size(); ++k) {
      EXPECT_EQ(text_of(c.text, layout.detections[k].value), c.items[k]);
      EXPECT_EQ(layout.detections[k].object_id ? text_of(c.text, *layout.detections[k].object_id) : "", c.ids[k]);
    }
  }
  EXPECT_FALSE(locate_detections(R"({"image_path": "a"})").list);
  EXPECT_FALSE(locate_detections(R"({"detections": {"a": 1}})").list);
  EXPECT_FALSE(locate_detections("[1, 2]").list);
}

TEST(AnnotationLayout, CutShortTextsNeverReadPastTheirEnd) {
  const std::string text = R"({"detections": [{"object_id": 1, "s": "a\"b"}, {"object_id": 2}]})";
  for (size_t n = 0; n < text.size(); ++n) {
    const std::string cut = text.substr(0, n);
    try {
      const AnnotationLayout layout = locate_detections(cut);
      for (const DetectionSpan& d : layout.detections) EXPECT_LE(d.value.end, cut.size());
    } catch (const ValueError&) {
    }
  }
}

namespace {

ClipEdit sample_edit() {
  ClipEdit e;
  e.number = 12;
  e.log_size = 345;
  e.log_line = R"({"edit": 12, "operation": "swap_identities"})";
  e.files.push_back(FileChange{"sub/output_pp_3.json", 3, sha256_hex("a"), sha256_hex("b"),
                               {Splice{10, "1", "2"}, Splice{40, "22\n", ""}}});
  e.files.push_back(FileChange{"output_pp_4.json", 4, sha256_hex("c"), sha256_hex("d"), {}});
  return e;
}

}  // namespace

TEST(ClipJournal, ReadsBackWhatItWrote) {
  ClipEdit e = sample_edit();
  e.direction = ClipEdit::Direction::Back;
  const std::string bytes = serialize_clip_edit(e);
  const ClipEdit r = parse_clip_edit(bytes, "journal");
  EXPECT_EQ(r.direction, ClipEdit::Direction::Back);
  EXPECT_EQ(r.number, 12);
  EXPECT_EQ(r.log_size, 345u);
  EXPECT_EQ(r.log_line, e.log_line);
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files[0].file, "sub/output_pp_3.json");
  EXPECT_EQ(r.files[0].frame, 3);
  EXPECT_EQ(r.files[0].before, sha256_hex("a"));
  ASSERT_EQ(r.files[0].splices.size(), 2u);
  EXPECT_EQ(r.files[0].splices[1].at, 40u);
  EXPECT_EQ(r.files[0].splices[1].old_text, "22\n");
  EXPECT_EQ(r.files[0].splices[1].new_text, "");
  EXPECT_EQ(serialize_clip_edit(r), bytes);
}

TEST(ClipJournal, RefusesEveryCutAndEveryChangedByte) {
  const std::string bytes = serialize_clip_edit(sample_edit());
  for (size_t n = 0; n < bytes.size(); ++n)
    EXPECT_THROW(parse_clip_edit(bytes.substr(0, n), "j"), ValueError) << n;
  for (size_t k = 0; k < bytes.size(); ++k) {
    std::string changed = bytes;
    changed[k] = static_cast<char>(changed[k] ^ 0x01);
    EXPECT_THROW(parse_clip_edit(changed, "j"), ValueError) << k;
  }
  EXPECT_THROW(parse_clip_edit(bytes + "x", "j"), ValueError);
}

TEST(ClipJournal, SplicesAndTheirReverse) {
  const std::string before = "{\"object_id\": 9, \"b\": [1, 2, 3], \"object_id\": 10}";
  const std::vector<Splice> forward = {Splice{14, "9", "10"}, Splice{22, "[1, 2, 3]", "[]"}, Splice{46, "10", "9"}};
  const std::string after = apply_splices(before, forward, "f");
  EXPECT_EQ(after, "{\"object_id\": 10, \"b\": [], \"object_id\": 9}");
  EXPECT_EQ(apply_splices(after, reverse_splices(forward), "f"), before);
  EXPECT_THROW(apply_splices(before, {Splice{14, "8", "1"}}, "f"), ValueError);
  EXPECT_THROW(apply_splices(before, {Splice{before.size(), "x", ""}}, "f"), ValueError);
  EXPECT_THROW(apply_splices(before, {Splice{22, "[", ""}, Splice{14, "9", ""}}, "f"), ValueError);
}

TEST(CorrectionsLog, ReadsEntriesAndLinksUndos) {
  LoggedEdit a;
  a.number = 1;
  a.time = "2026-01-02T03:04:05Z";
  a.operation = "drop_track";
  a.arguments = parse_json(R"({"object_id": 3, "from_frame": null})");
  a.files = {LoggedFile{"output_pp_0.json", 0, sha256_hex("x"), sha256_hex("y")}};
  LoggedEdit u = a;
  u.number = 2;
  u.operation = "undo";
  u.arguments = parse_json(R"({"edit": 1})");
  const std::string log = log_line_of(a) + "\n\n" + log_line_of(u) + "\n";
  const std::vector<LoggedEdit> entries = parse_corrections_log(log, "log");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].undone_by, std::optional<int64_t>(2));
  EXPECT_EQ(entries[1].undoes, std::optional<int64_t>(1));
  EXPECT_EQ(entries[0].files[0].file, "output_pp_0.json");
  EXPECT_EQ(dump_json(entries[0].arguments, -1), R"({"object_id": 3, "from_frame": null})");

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"not json\n", "line 1"},
      {"[1]\n", "expected an object"},
      {log_line_of(a) + "\n" + log_line_of(a) + "\n", "edit 1 after edit 1"},
      {log_line_of(u) + "\n", "not an edit left to undo"},
      {log_line_of(a) + "\n" + log_line_of(u) + "\n" + log_line_of([&] {
         LoggedEdit again = u;
         again.number = 3;
         return again;
       }()) + "\n",
       "not an edit left to undo"},
      {R"({"edit": 1, "time": "t", "operation": "x", "arguments": {}, "files": [3]})", "for each file"},
      {R"({"edit": "1"})", "\"edit\""},
  };
  for (const auto& [text, message] : bad) {
    try {
      parse_corrections_log(text, "log");
      ADD_FAILURE() << text;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

TEST(FileLock, ExclusiveAgainstEveryOtherOpenFile) {
  TempDir dir;
  FileLock a(dir / "lock", true), b(dir / "lock", true), c(dir / "lock", false);
  ASSERT_TRUE(a.try_lock(FileLock::Mode::Exclusive));
  EXPECT_FALSE(b.try_lock(FileLock::Mode::Exclusive));
  EXPECT_FALSE(c.try_lock(FileLock::Mode::Shared));
  a.write_note("42 host time swap\n");
  EXPECT_EQ(c.read_note(), "42 host time swap\n");
  a.unlock();
  EXPECT_TRUE(b.try_lock(FileLock::Mode::Shared));
  EXPECT_TRUE(c.try_lock(FileLock::Mode::Shared));
  EXPECT_FALSE(a.try_lock(FileLock::Mode::Exclusive));
  EXPECT_THROW(FileLock(dir / "missing", false), FileNotFoundError);
}

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
