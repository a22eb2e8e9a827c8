#include "platform/vision/characters.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace kov {

std::string firstCharacters(std::string_view text, int count) {
  if (count <= 0) return {};
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  std::unique_ptr<UText, decltype(&utext_close)> textGuard(utext, utext_close);
  UBreakIterator* breaks = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
  std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaksGuard(breaks, ubrk_close);
  if (U_FAILURE(status)) return std::string(text);
  ubrk_setUText(breaks, utext, &status);
  if (U_FAILURE(status)) return std::string(text);
  // Over UTF-8 text the break positions are byte offsets.
  int32_t end = ubrk_first(breaks);
  for (int i = 0; i < count; ++i) {
    const int32_t next = ubrk_next(breaks);
    if (next == UBRK_DONE) return std::string(text);
    end = next;
  }
  return std::string(text.substr(0, static_cast<size_t>(end)));
}

std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace kov
