#include "cli/options.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <locale.h>

namespace kov {
namespace {

bool isLeadingSpace(char c) {
  return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ';
}

// strtod in the C locale whatever the process locale is.
double strtodC(const char* text, char** end) {
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(text, end, cLocale);
}

}  // namespace

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty() || isLeadingSpace(text.front())) return std::nullopt;
  std::string copy(text);  // strtod needs a terminated text; an embedded NUL must not end the parse early
  if (copy.find('\0') != std::string::npos) return std::nullopt;
  char* end = nullptr;
  double value = strtodC(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

std::optional<double> argument(std::string_view name, const Args& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return std::nullopt;
    return parseNumber(args[i + 1]);
  }
  return std::nullopt;
}

bool hasFlag(std::string_view name, const Args& args) {
  for (const auto& a : args)
    if (a == name) return true;
  return false;
}

std::optional<std::string> textOption(std::string_view name, const Args& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return std::nullopt;
    return args[i + 1];
  }
  return std::nullopt;
}

std::string absolutePath(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path p(path);
  if (p.is_absolute()) return p.lexically_normal().string();
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) return path;
  return (cwd / p).lexically_normal().string();
}

double clampUpperThenLower(double value, double lower, double upper) {
  if (value > upper) value = upper;
  if (value < lower) value = lower;
  return value;
}

double clampNanToLower(double value, double lower, double upper) {
  if (std::isnan(value)) return lower;
  return clampUpperThenLower(value, lower, upper);
}

}  // namespace kov
