// Files, memory and texts of src/common, on every system: the OS-error
// messages, the allocation guard, UTF-8 and quoting (posix_common_io.cpp
// and test_platform.cpp have the rest).
#include <gtest/gtest.h>

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
using test_support::slurp;
namespace fs = std::filesystem;

namespace {

struct TempDir : test_support::TempDir {
  TempDir() : test_support::TempDir("mirelo_io_test_") {}
};

}  // namespace

TEST(AtomicWriter, FailuresNameTheTargetInOneFormat) {
  TempDir tmp;
  const auto message_of = [](const std::function<void()>& fn) -> std::string {
    try {
      fn();
    } catch (const OSError& e) {
      return std::string("OSError: ") + e.what();
    } catch (const FileNotFoundError& e) {
      return std::string("FileNotFoundError: ") + e.what();
    }
    return "";
  };
  const std::string missing = tmp / "missing/x.json", dir = tmp.path.string();
  AtomicWriteOptions opts;
  opts.action = "could not write";
  EXPECT_EQ(message_of([&] { write_file_atomically(missing, "{}"); }),
            "FileNotFoundError: [Errno 2] No such file or directory: " + repr_text(missing));
  EXPECT_EQ(message_of([&] { write_file_atomically(dir, "x", opts); }),
            "OSError: could not write: [Errno 21] Is a directory: " + repr_text(dir));
  EXPECT_EQ(message_of([&] { read_file(dir); }), "OSError: [Errno 21] Is a directory: " + repr_text(dir));
  EXPECT_EQ(message_of([&] { throw_os_error(EACCES, "it's"); }), "OSError: [Errno 13] Permission denied: \"it's\"");
  EXPECT_TRUE(tmp.temporaries().empty());
}

TEST(MemoryGuard, RefusesWhatTheProcessCannotHold) {
  EXPECT_NO_THROW(require_allocatable(1000, 8, [] { return std::string("a small request"); }));
  try {
    require_allocatable(uint64_t{1} << 40, 1 << 20, [] { return std::string("the masks of m"); });
    FAIL();
  } catch (const MemoryError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Unable to allocate 1.00 EiB for the masks of m: this process can hold at most ", 0), 0u)
        << e.what();
  }
  EXPECT_THROW(require_allocatable(UINT64_MAX, 2, [] { return std::string("x"); }), std::bad_alloc);
}

TEST(Utf8, DecodesStrictlyAndReportsBadBytes) {
  const std::pair<std::string, size_t> cases[] = {
      {"a", 1},          {"\xC3\xA9", 2},     {"\xE2\x82\xAC", 3}, {"\xF0\x9F\x90\x96", 4},
      {"\x80", 0},       {"\xC3", 0},         {"\xE2\x82", 0},     {"\xC0\x80", 0},  // overlong
      {"\xE0\x80\x80", 0}, {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xED\xA0\x80", 0},  // a surrogate
      {"\xFF", 0},
  };
  for (const auto& [bytes, len] : cases) {
    char32_t cp = 0;
    EXPECT_EQ(utf8_decode(bytes, 0, cp), len) << bytes;
  }
  char32_t cp = 0;
  EXPECT_EQ(utf8_decode("\xED\xA0\x80", 0, cp, true), 3u);
  EXPECT_EQ(cp, 0xD800u);
  EXPECT_EQ(decode_utf8("a\xFF\xC3\xA9", Utf8Errors::Replace), U"a\uFFFD\u00E9");
  EXPECT_EQ(decode_utf8("a\xFF\xC3\xA9", Utf8Errors::SurrogateEscape), std::u32string(U"a") + char32_t{0xDCFF} + U"\u00E9");
  std::string out;
  for (char32_t c : {U'a', U'\u00E9', U'\u20AC', U'\U0001F416'}) append_utf8(out, c);
  EXPECT_EQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x90\x96");
}

TEST(FileNameBytes, SurrogateEscapesBecomeTheirBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"clip\xED\xB3\xBF/a.png", "clip\xFF/a.png"},            // "\udcff" of the host's JSON writer
      {"\xED\xB2\x80\xC3\xA9", "\x80\xC3\xA9"},                // lowest escape, then valid UTF-8
      {"\xED\xA0\x80", "\xED\xA0\x80"},                          // a surrogate that escapes no byte
      {"\xED\xB3", "\xED\xB3"}, {"\xFF", "\xFF"}, {"", ""},       // truncated and raw bytes stay
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(file_name_bytes(text), bytes) << text;
}

TEST(ReprText, QuotesAsTheHostDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "'abc'"}, {"it's", "\"it's\""}, {"a'b\"c", "'a\\'b\"c'"}, {"x\n\t\\", "'x\\n\\t\\\\'"},
      {std::string("n\0l", 3), "'n\\x00l'"}, {"\xC3\xA9", "'\xC3\xA9'"},
  };
  for (const auto& [text, repr] : cases) EXPECT_EQ(repr_text(text), repr);
}
