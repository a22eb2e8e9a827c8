// The DevTools protocol over the browser's pipe: NUL-terminated JSON messages, commands with ids,
// replies and events. Reading the pipe is the tool's event loop while a browser is running.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kov {

struct DevToolsReply {
  nlohmann::json body;  // the whole reply, except the cut-out bulk text
  std::string bulk;     // the value of the reply's bulk field (base64 picture data), when asked for
};

class DevToolsConnection {
 public:
  using EventHandler = std::function<void(const nlohmann::json& event)>;

  DevToolsConnection(int writeFd, int readFd);

  void setEventHandler(EventHandler handler) { onEvent_ = std::move(handler); }

  // Sends a command and returns its id. With `bulkField`, the reply's string member of that name is
  // cut out of the text before parsing and handed over as it stands: a picture's megabytes of base64
  // never go through the JSON parser. Throws BrowserError when the browser cannot be reached.
  int send(const std::string& method, const nlohmann::json& params, const std::string& sessionId = "",
           const std::string& bulkField = "");

  // Reads whatever the browser sends within `timeoutMs` (waiting for the first bytes only), storing
  // replies and passing events to the handler. Throws BrowserError when the browser has gone.
  void pump(int timeoutMs);

  // The reply to command `id`, once it has arrived.
  std::optional<DevToolsReply> takeReply(int id);

  // A reply that nobody will wait for any more (a command given up on); dropped when it arrives.
  void forget(int id);

 private:
  void readAvailable();
  void dispatch(std::string& message);

  int writeFd_;
  int readFd_;
  int nextId_ = 1;
  std::string incoming_;
  std::map<int, std::string> bulkFields_;
  std::map<int, DevToolsReply> replies_;
  std::set<int> forgotten_;
  EventHandler onEvent_;
};

// Finds `"field":"` in a JSON text and cuts its string value out (leaving an empty string in its
// place). Returns the value without its quotes; base64 and other escape-free texts come out as they
// stand, and an escaped slash is unescaped.
std::string cutStringField(std::string& json, const std::string& field);

// The JSON text with every "\uXXXX" escape of an unpaired UTF-16 surrogate replaced by "\ufffd"
// (U+FFFD), so that a strict parser takes it; everything else is left as it stands.
std::string withLoneSurrogatesReplaced(std::string_view json);

}  // namespace kov
