#pragma once
// UTF-8 decoding and the host's quoting of texts in messages, shared by every
// part of the core that looks at characters rather than bytes.
#include <cstddef>
#include <string>
#include <string_view>

namespace mirelo {

/// Decodes the UTF-8 sequence that starts at byte `i` of `s` (i < s.size()).
/// Returns its length in bytes (1 to 4) and sets `cp`, or returns 0 when the
/// bytes there are not a valid sequence: a stray continuation byte, a
/// truncated sequence, an overlong form, a code point above U+10FFFF, or an
/// encoded surrogate (U+D800..U+DFFF) unless `allow_surrogates`.
size_t utf8_decode(std::string_view s, size_t i, char32_t& cp, bool allow_surrogates = false);

/// What decode_utf8 puts in place of a byte that starts no valid sequence.
enum class Utf8Errors {
  Replace,          ///< U+FFFD, one per byte (a lenient decoder's choice)
  SurrogateEscape,  ///< U+DC80..U+DCFF, the byte itself (how the host decodes file names)
};

/// The code points of `s`, each invalid byte handled as `errors` says.
std::u32string decode_utf8(std::string_view s, Utf8Errors errors, bool allow_surrogates = false);

/// Appends the UTF-8 form of `cp` (surrogates get their 3-byte form).
void append_utf8(std::string& out, char32_t cp);

/// A text that names a file, as the file system's bytes. The host decodes
/// names that are not UTF-8 with each stray byte as a surrogate escape
/// (U+DC80..U+DCFF), and its JSON writer stores those as "\udcXX", which
/// this core's JSON reader keeps as their 3-byte forms; they become the bytes
/// 0x80..0xFF again, as the host's os.fsencode gives them. Everything else is
/// kept as it is.
std::string file_name_bytes(std::string_view text);

/// The host's repr of a text, for messages: single quotes unless the text
/// holds a single quote and no double quote, with backslashes, the quote
/// and control characters escaped ('a\'b', "it's", 'x\n', 'nul\x00').
std::string repr_text(std::string_view text);

}  // namespace mirelo
