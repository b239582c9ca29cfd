// Doubles in error messages, written as Python's repr() writes them.
#pragma once

#include <charconv>
#include <cmath>
#include <string>

inline std::string float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::string formatted(text, result.ptr);
  if (formatted.find_first_of(".e") == std::string::npos) formatted += ".0";
  return formatted;
}
