// Command-line readers shared by every command: numeric options, flags, text options, paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov {

using Args = std::vector<std::string>;

// Parses a whole text as a C-locale strtod number. Fails on an empty text, a text that starts with
// white space, and a text with anything left over after the number.
std::optional<double> parseNumber(std::string_view text);

// The value after the first occurrence of `name`, parsed as a number. Absent when the name is
// missing, is the last element, or its value does not parse; later repetitions are never consulted.
std::optional<double> argument(std::string_view name, const Args& args);

// True when any element equals `name` exactly.
bool hasFlag(std::string_view name, const Args& args);

// The element after the first occurrence of `name`, taken as text whatever it looks like.
// Absent when the name is missing or is the last element.
std::optional<std::string> textOption(std::string_view name, const Args& args);

// A command-line path made absolute against the current directory.
std::string absolutePath(const std::string& path);

// Clamp helpers with the tool's comparison order: the upper bound is tested first, then the lower
// bound; a not-a-number value fails both comparisons of `clampUpperThenLower` and so stays NaN,
// which is why callers that want NaN to land on the lower bound use `clampNanToLower`.
double clampUpperThenLower(double value, double lower, double upper);
double clampNanToLower(double value, double lower, double upper);

}  // namespace kov
