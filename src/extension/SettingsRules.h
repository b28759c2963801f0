// How the values of RAVO.ini are read: numbers as atoi reads them, truth
// words without regard to case, and the clamps that keep numbers sensible.
#pragma once

#include <climits>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/Text.h"

using text::ParseLeadingInt;

// value < floor gives below_floor; value > ceiling gives above_ceiling.
struct NumberRule {
  int floor;
  int below_floor;
  int ceiling = INT_MAX;
  int above_ceiling = INT_MAX;
  int Apply(int value) const;
};

inline constexpr NumberRule kMinSocketsRule{1, 100};
inline constexpr NumberRule kMaxSocketsRule{1, 200, 500, 500};
inline constexpr NumberRule kIntervalRule{0, 0};
inline constexpr NumberRule kMaxMemoryRule{1, 100};
inline constexpr NumberRule kThresholdRule{101, 101, 106, 106};

struct ExtensionSettings;

// A number of RAVO.ini and its clamp: one row per number, read by the module
// and checked by the configuration checker.
struct NumberSetting {
  std::string_view section;
  std::string_view key;
  NumberRule rule;
  int ExtensionSettings::*field;
};
std::span<const NumberSetting> NumberSettings();

// Everything module_directory + "RAVO.ini" sets, after defaults and clamps;
// reads the file and nothing else (no trace file, no pools).
ExtensionSettings ReadExtensionSettings(const std::string& module_directory);

// True when value is one of words, ignoring letter case.
bool IsTruthWord(std::string_view value, std::initializer_list<std::string_view> words);

// What is kept of a configured password: without trailing white space, cut to
// 40 bytes and scrambled; empty when nothing is left.
std::string PreparePassword(std::string_view value);
