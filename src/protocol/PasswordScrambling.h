// The back-end password travels scrambled with a key of 40 byte values that
// the module and the back end share. The back-end simulator undoes it with
// UnscramblePassword; a production back end must carry the same key
// (kPasswordScrambleKey in PasswordScrambling.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::size_t kMaxPasswordLength = 40;

extern const std::array<std::uint8_t, kMaxPasswordLength> kPasswordScrambleKey;

// Adds key byte i to byte i, modulo 256; the text keeps its length (at most
// kMaxPasswordLength bytes are scrambled; the caller cuts longer texts).
std::string ScramblePassword(std::string_view password);
std::string UnscramblePassword(std::string_view scrambled);
