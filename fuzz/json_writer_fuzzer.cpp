// The report writer driven by arbitrary bytes: each byte picks the next call (objects, arrays, keys,
// numbers, texts), always in an order that makes a well-formed document. The finished document must
// parse as JSON and give back every number and every text that was valid UTF-8.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/json.h"

namespace {

using nlohmann::json;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  template <typename T>
  T raw() {
    T value{};
    std::size_t n = std::min(sizeof value, size_ - at_);
    std::memcpy(&value, data_ + at_, n);
    at_ += n;
    return value;
  }
  std::string text() {
    std::size_t length = std::min<std::size_t>(byte() % 24, size_ - at_);
    std::string s(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

bool validUtf8(const std::string& text) {
  try {
    (void)json(text).dump();
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

// What the writer was given, built up beside it to compare with what the document reads back as.
struct Expected {
  json value;
  bool exact = true;  // false once a text with malformed UTF-8 (written with U+FFFD) is inside
};

void writeValue(Input& in, kov::JsonWriter& writer, Expected& expected, int depth, bool& finite);

void writeMembers(Input& in, kov::JsonWriter& writer, Expected& expected, int depth, bool& finite) {
  bool object = expected.value.is_object();
  while (!in.empty() && in.byte() % 4 != 0) {
    Expected member{json(), true};
    std::string name = object ? in.text() : "";
    if (object) writer.key(name);
    writeValue(in, writer, member, depth + 1, finite);
    if (!member.exact || (object && !validUtf8(name))) expected.exact = false;
    if (object) {
      if (!expected.value.contains(name)) expected.value[name] = member.value;
      else expected.exact = false;  // repeated names: which one a reader keeps is its own choice
    } else {
      expected.value.push_back(member.value);
    }
  }
}

void writeValue(Input& in, kov::JsonWriter& writer, Expected& expected, int depth, bool& finite) {
  switch (depth > 20 ? in.byte() % 5 : in.byte() % 7) {
    case 0: {
      double value = in.raw<double>();
      writer.number(value);
      finite = finite && std::isfinite(value);
      expected.value = value;
      break;
    }
    case 1: {
      float value = in.raw<float>();
      writer.singleNumber(value);
      finite = finite && std::isfinite(value);
      expected.value = static_cast<double>(value);
      break;
    }
    case 2: {
      std::int64_t value = in.raw<std::int64_t>();
      writer.integer(value);
      expected.value = value;
      break;
    }
    case 3:
    case 4: {
      std::string text = in.text();
      writer.string(text);
      expected.value = text;
      expected.exact = validUtf8(text);
      break;
    }
    case 5:
      writer.beginObject();
      expected.value = json::object();
      writeMembers(in, writer, expected, depth, finite);
      writer.endObject();
      break;
    default:
      writer.beginArray();
      expected.value = json::array();
      writeMembers(in, writer, expected, depth, finite);
      writer.endArray();
      break;
  }
}

bool sameNumbers(const json& a, const json& b) {
  if (a.is_number_float() || b.is_number_float()) {
    if (!a.is_number() || !b.is_number()) return false;
    double wrote = a.get<double>(), read = b.get<double>();
    // A single-precision number is written with the digits that single precision needs.
    bool single = static_cast<double>(static_cast<float>(wrote)) == wrote;
    return read == wrote || (single && static_cast<float>(read) == static_cast<float>(wrote));
  }
  if (a.type() != b.type() && !(a.is_number_integer() && b.is_number_integer())) return false;
  if (a.is_number_integer()) return a.get<std::int64_t>() == b.get<std::int64_t>();
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it)
      if (!b.contains(it.key()) || !sameNumbers(it.value(), b[it.key()])) return false;
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!sameNumbers(a[i], b[i])) return false;
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  kov::JsonWriter writer;
  Expected expected;
  bool finite = true;
  writeValue(in, writer, expected, 0, finite);
  std::string document = writer.finish();
  if (!finite) {
    if (!document.empty() || writer.ok()) std::abort();  // a non-finite number spoils the document
    return 0;
  }
  json parsed = json::parse(document, nullptr, false);
  if (parsed.is_discarded()) std::abort();
  if (document.find('\n') != std::string::npos) std::abort();
  if (expected.exact && !sameNumbers(expected.value, parsed)) std::abort();
  return 0;
}
