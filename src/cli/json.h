// Compact JSON writer for the reports: members in the order they are written, shortest round-trip
// numbers, "/" escaped, UTF-8 passed through. Any non-finite number spoils the whole document.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kov {

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  JsonWriter& key(std::string_view name);

  JsonWriter& number(double value);      // shortest text that reads back to the same double
  JsonWriter& singleNumber(float value); // shortest text that reads back to the same float
  JsonWriter& integer(std::int64_t value);
  JsonWriter& string(std::string_view text);

  // The document, or an empty text when a non-finite number was written.
  std::string finish() const;
  bool ok() const { return ok_; }

 private:
  void beforeValue();
  JsonWriter& open(char bracket);
  JsonWriter& close(char bracket);

  std::string out_;
  std::vector<bool> firstInScope_;
  bool afterKey_ = false;
  bool ok_ = true;
};

// Appends `text` as a JSON string body: quotes, backslashes, slashes and control characters
// escaped; malformed UTF-8 replaced by U+FFFD so the document stays valid.
void appendJsonEscaped(std::string& out, std::string_view text);

}  // namespace kov
