#include "cli/json.h"

#include <charconv>
#include <cmath>

namespace kov {

JsonWriter& JsonWriter::open(char bracket) {
  beforeValue();
  out_ += bracket;
  firstInScope_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  out_ += bracket;
  firstInScope_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::beginObject() { return open('{'); }
JsonWriter& JsonWriter::endObject() { return close('}'); }
JsonWriter& JsonWriter::beginArray() { return open('['); }
JsonWriter& JsonWriter::endArray() { return close(']'); }

JsonWriter& JsonWriter::members(std::initializer_list<JsonMember> list) {
  for (const JsonMember& member : list) {
    key(member.key);
    if (auto* whole = std::get_if<std::int64_t>(&member.value)) integer(*whole);
    if (auto* real = std::get_if<double>(&member.value)) number(*real);
    if (auto* text = std::get_if<std::string_view>(&member.value)) string(*text);
  }
  return *this;
}

std::string encodeObject(std::initializer_list<JsonMember> list) {
  JsonWriter json;
  json.beginObject().members(list).endObject();
  return json.finish();
}

JsonWriter& JsonWriter::key(std::string_view name) {
  beforeValue();
  out_ += '"';
  appendJsonEscaped(out_, name);
  out_ += "\":";
  afterKey_ = true;
  return *this;
}

void JsonWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (firstInScope_.empty()) return;
  if (!firstInScope_.back()) out_ += ',';
  firstInScope_.back() = false;
}

// Shortest text that reads back to the same value of the value's own type; a non-finite value
// spoils the document.
template <typename Number>
void appendShortest(std::string& out, Number value, bool& ok) {
  if (!std::isfinite(value)) {
    ok = false;
    out += '0';
    return;
  }
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, end);
}

JsonWriter& JsonWriter::number(double value) {
  beforeValue();
  appendShortest(out_, value, ok_);
  return *this;
}

JsonWriter& JsonWriter::singleNumber(float value) {
  beforeValue();
  appendShortest(out_, value, ok_);
  return *this;
}

JsonWriter& JsonWriter::integer(std::int64_t value) {
  beforeValue();
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, end);
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
  beforeValue();
  out_ += '"';
  appendJsonEscaped(out_, text);
  out_ += '"';
  return *this;
}

std::string JsonWriter::finish() const { return ok_ ? out_ : std::string(); }

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is malformed.
size_t validUtf8Length(std::string_view s) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = byte(0);
  size_t len;
  unsigned int cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
  else return 0;
  if (s.size() < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return len;
}

}  // namespace

void appendJsonEscaped(std::string& out, std::string_view text) {
  static const char* hex = "0123456789abcdef";
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text.front());
    if (c >= 0x80) {
      size_t len = validUtf8Length(text);
      if (len == 0) {
        out += "\xEF\xBF\xBD";
        text.remove_prefix(1);
      } else {
        out.append(text.substr(0, len));
        text.remove_prefix(len);
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    text.remove_prefix(1);
  }
}

}  // namespace kov
