#pragma once

// The colours every window uses for status text: success, neutral notes,
// warnings and errors.
namespace StatusColor {
inline constexpr const char *success = "#4ec9b0";
inline constexpr const char *neutral = "#858585";
inline constexpr const char *warning = "#d7ba7d";
inline constexpr const char *error = "#ff6b6b";
} // namespace StatusColor
