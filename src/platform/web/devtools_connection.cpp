#include "platform/web/devtools_connection.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/process/process_exit.h"
#include "platform/web/browser.h"

namespace kov {
namespace {

constexpr const char* kBrowserGone = "the browser quit unexpectedly";

// The id of a reply, read from the front of its text (the browser writes "id" first), without
// parsing the rest.
std::optional<int> leadingId(const std::string& message) {
  constexpr std::string_view prefix = "{\"id\":";
  if (message.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  int id = 0;
  const char* begin = message.data() + prefix.size();
  auto [end, error] = std::from_chars(begin, message.data() + message.size(), id);
  if (error != std::errc() || end == begin) return std::nullopt;
  return id;
}

// The UTF-16 code unit of the "\uXXXX" escape at `at`, or -1 when there is none there.
int escapedCodeUnit(std::string_view text, size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  int unit = 0;
  auto [end, error] = std::from_chars(text.data() + at + 2, text.data() + at + 6, unit, 16);
  return error == std::errc() && end == text.data() + at + 6 ? unit : -1;
}

bool isHighSurrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string withLoneSurrogatesReplaced(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  bool inString = false;
  for (size_t i = 0; i < json.size();) {
    char c = json[i];
    if (c == '"') inString = !inString;
    if (!inString || c != '\\') {
      out += c;
      ++i;
      continue;
    }
    int unit = escapedCodeUnit(json, i);
    if (unit < 0) {  // another escape: copied as it stands, so its second character is not read as a quote
      out.append(json.substr(i, 2));
      i += 2;
      continue;
    }
    if (isHighSurrogate(unit) && isLowSurrogate(escapedCodeUnit(json, i + 6))) {
      out.append(json.substr(i, 12));
      i += 12;
    } else {
      out.append(isHighSurrogate(unit) || isLowSurrogate(unit) ? "\\ufffd" : json.substr(i, 6));
      i += 6;
    }
  }
  return out;
}

std::string cutStringField(std::string& json, const std::string& field) {
  const std::string key = "\"" + field + "\":\"";
  size_t start = json.find(key);
  if (start == std::string::npos) return "";
  size_t valueStart = start + key.size();
  size_t valueEnd = valueStart;
  bool escaped = false;
  while (valueEnd < json.size()) {
    char c = json[valueEnd];
    if (c == '"') break;
    if (c == '\\') escaped = true, ++valueEnd;
    ++valueEnd;
  }
  if (valueEnd >= json.size()) return "";
  std::string value = json.substr(valueStart, valueEnd - valueStart);
  json.erase(valueStart, valueEnd - valueStart);
  if (escaped) {
    std::string plain;
    plain.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      plain += value[i];
    }
    value.swap(plain);
  }
  return value;
}

DevToolsConnection::DevToolsConnection(int writeFd, int readFd) : writeFd_(writeFd), readFd_(readFd) {
  fcntl(readFd_, F_SETFL, fcntl(readFd_, F_GETFL) | O_NONBLOCK);
}

int DevToolsConnection::send(const std::string& method, const nlohmann::json& params,
                             const std::string& sessionId, const std::string& bulkField) {
  int id = nextId_++;
  nlohmann::json command = {{"id", id}, {"method", method}, {"params", params}};
  if (!sessionId.empty()) command["sessionId"] = sessionId;
  std::string text = command.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text.push_back('\0');
  if (!bulkField.empty()) bulkFields_[id] = bulkField;
  if (!writeAll(writeFd_, text)) throw BrowserError(kBrowserGone);
  return id;
}

void DevToolsConnection::pump(int timeoutMs) {
  pollfd waiting{readFd_, POLLIN, 0};
  int ready = poll(&waiting, 1, timeoutMs < 0 ? 0 : timeoutMs);
  if (ready < 0 && errno != EINTR) throw BrowserError(kBrowserGone);
  if (ready > 0) readAvailable();
}

void DevToolsConnection::readAvailable() {
  char chunk[1 << 16];
  size_t scanFrom = incoming_.size();
  for (;;) {
    ssize_t n = read(readFd_, chunk, sizeof chunk);
    if (n > 0) {
      incoming_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    throw BrowserError(kBrowserGone);  // end of file or a read error
  }
  size_t start = 0;
  for (size_t end; (end = incoming_.find('\0', scanFrom)) != std::string::npos; scanFrom = start = end + 1) {
    std::string message = incoming_.substr(start, end - start);
    dispatch(message);
  }
  incoming_.erase(0, start);
}

void DevToolsConnection::dispatch(std::string& message) {
  std::optional<int> id = leadingId(message);
  DevToolsReply reply;
  if (id) {
    auto bulk = bulkFields_.find(*id);
    if (bulk != bulkFields_.end()) {
      reply.bulk = cutStringField(message, bulk->second);
      bulkFields_.erase(bulk);
    }
  }
  reply.body = nlohmann::json::parse(message, nullptr, false);
  // Page texts are UTF-16 and may hold half of a pair, which the engine escapes as it stands ("\ud800")
  // and a strict parser refuses; such a message still has a waiter.
  if (reply.body.is_discarded()) reply.body = nlohmann::json::parse(withLoneSurrogatesReplaced(message), nullptr, false);
  if (reply.body.is_discarded()) return;
  if (!id && reply.body.contains("id") && reply.body["id"].is_number_integer()) id = reply.body["id"].get<int>();
  if (id) {
    if (forgotten_.erase(*id) == 0) replies_[*id] = std::move(reply);
    return;
  }
  if (onEvent_) onEvent_(reply.body);
}

std::optional<DevToolsReply> DevToolsConnection::takeReply(int id) {
  auto found = replies_.find(id);
  if (found == replies_.end()) return std::nullopt;
  DevToolsReply reply = std::move(found->second);
  replies_.erase(found);
  return reply;
}

void DevToolsConnection::forget(int id) {
  if (replies_.erase(id) == 0) forgotten_.insert(id);
  bulkFields_.erase(id);
}

}  // namespace kov
