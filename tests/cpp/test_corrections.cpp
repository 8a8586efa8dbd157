// Corrections of a clip folder's annotation files: SHA-256, the detections
// located in a file's bytes, the journal and the audit log read back, and
// the folder lock (posix_corrections.cpp: processes killed while they hold
// it or write).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/errors.hpp"
#include "common/file_lock.hpp"
#include "common/json.hpp"
#include "common/platform.hpp"
#include "common/sha256.hpp"
#include "pen/annotation_layout.hpp"
#include "pen/clip_journal.hpp"
#include "pen/corrections.hpp"
#include "test_support.hpp"

using namespace mirelo;
using test_support::slurp;
using test_support::spit;
namespace fs = std::filesystem;

namespace {

struct TempDir : test_support::TempDir {
  TempDir() : test_support::TempDir("mirelo_corrections_test_") {}
};

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

// Edits and their undos through the platform layer's files, locks and
// renames (on Windows too): a swap of ids of one and two digits rewrites
// each file, one of two-digit ids writes over its bytes in place; both
// undone give the very bytes back.
TEST(Corrections, EditsAndTheirUndosGiveTheBytesBack) {
  TempDir dir;
  std::vector<std::string> before;
  for (int f = 0; f < 3; ++f) {
    before.push_back("{\"image_path\": \"f" + std::to_string(f) +
                     ".jpg\", \"detections\": [{\"object_id\": 9, \"v\": 1.50}, {\"object_id\": 10, \"v\": -0.0}, "
                     "{\"object_id\": 11, \"v\": 2}]}");
    spit(dir / ("output_pp_" + std::to_string(f) + ".json"), before.back());
  }
  const auto swap = [](int64_t a, int64_t b) {
    EditRequest r;
    r.operation = "swap_identities";
    r.arguments = parse_json("{}");
    r.steps.push_back(IdEdit{IdEditKind::Swap, a, b, std::nullopt, std::nullopt, MergeConflict::Refuse});
    return r;
  };
  const std::string clip = dir.path.string();
  edit_clip(clip, swap(9, 10));
  edit_clip(clip, swap(10, 11), EditOptions{true});
  for (int f = 0; f < 3; ++f) {
    const std::string now = slurp(dir / ("output_pp_" + std::to_string(f) + ".json"));
    EXPECT_NE(now.find("{\"object_id\": 11, \"v\": 1.50}, {\"object_id\": 9, \"v\": -0.0}, {\"object_id\": 10, \"v\": 2}"),
              std::string::npos) << now;
  }
  undo_clip_edit(clip);
  undo_clip_edit(clip);
  for (int f = 0; f < 3; ++f)
    EXPECT_EQ(slurp(dir / ("output_pp_" + std::to_string(f) + ".json")), before[static_cast<size_t>(f)]) << f;
  EXPECT_EQ(clip_edit_history(clip).size(), 4u);
  EXPECT_FALSE(fs::exists(dir / ".corrections/journal"));
}
