#include "protocol/PasswordScrambling.h"

// Values 1 to 128 only: added to printable ASCII they never wrap to a NUL or
// to a byte that a text-based back end could mistake for a line end.
const std::array<std::uint8_t, kMaxPasswordLength> kPasswordScrambleKey = {
    0x3A, 0x11, 0x5C, 0x27, 0x6E, 0x08, 0x49, 0x73, 0x1D, 0x62, 0x35, 0x4F, 0x02, 0x58,
    0x2B, 0x7C, 0x16, 0x41, 0x6A, 0x0D, 0x53, 0x24, 0x7F, 0x39, 0x0B, 0x66, 0x1F, 0x44,
    0x70, 0x2E, 0x05, 0x5A, 0x33, 0x68, 0x12, 0x4B, 0x7A, 0x21, 0x57, 0x0F};

namespace {

std::string Shift(std::string_view text, int direction) {
  std::string result(text);
  for (std::size_t i = 0; i < result.size() && i < kPasswordScrambleKey.size(); ++i) {
    const int value = static_cast<unsigned char>(result[i]) + direction * kPasswordScrambleKey[i];
    result[i] = static_cast<char>(static_cast<unsigned char>(value & 0xFF));
  }
  return result;
}

}  // namespace

std::string ScramblePassword(std::string_view password) { return Shift(password, +1); }
std::string UnscramblePassword(std::string_view scrambled) { return Shift(scrambled, -1); }
