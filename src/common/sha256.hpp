#pragma once
// SHA-256 (FIPS 180-4), for naming file contents in logs that outlive the
// process: the audit log of clip corrections records each file's hash
// before and after an edit, and the edit engine checks them before it
// rolls a file forward or back.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace mirelo {

/// Incremental SHA-256.
class Sha256 {
 public:
  Sha256();
  void update(std::string_view bytes);
  /// The digest; the object must not be updated afterwards.
  std::array<uint8_t, 32> finish();

 private:
  void block(const uint8_t* p);
  std::array<uint32_t, 8> h_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

/// The SHA-256 of `bytes` as 64 lower-case hexadecimal digits (hashlib's
/// hexdigest()).
std::string sha256_hex(std::string_view bytes);

}  // namespace mirelo
