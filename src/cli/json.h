// Compact JSON writer for the reports: members in the order they are written, shortest round-trip
// numbers, "/" escaped, UTF-8 passed through. Any non-finite number spoils the whole document.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kov {

// One member of a report object: a key and a whole number, a number or a text. The text is not
// copied, so a member lives only as long as the call it is written in.
struct JsonMember {
  template <std::integral Integer>
  JsonMember(std::string_view name, Integer whole) : key(name), value(static_cast<std::int64_t>(whole)) {}
  JsonMember(std::string_view name, double number) : key(name), value(number) {}
  JsonMember(std::string_view name, std::string_view text) : key(name), value(text) {}

  std::string_view key;
  std::variant<std::int64_t, double, std::string_view> value;
};

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

  // The keys and their values, in the order given, into the object being written.
  JsonWriter& members(std::initializer_list<JsonMember> list);

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

// A whole document that is one object of these members; empty when a number is not finite.
std::string encodeObject(std::initializer_list<JsonMember> list);

// Appends `text` as a JSON string body: quotes, backslashes, slashes and control characters
// escaped; malformed UTF-8 replaced by U+FFFD so the document stays valid.
void appendJsonEscaped(std::string& out, std::string_view text);

}  // namespace kov
