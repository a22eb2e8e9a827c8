// The DevTools message reader on arbitrary bytes from the browser's pipe: NUL-separated messages,
// replies to commands that asked for a bulk field, events, damaged text. Whatever arrives, the
// reader hands on parsed replies and events and never reads outside what it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/web/browser.h"
#include "platform/web/devtools_connection.h"

namespace {

constexpr std::size_t kPipeCapacity = 60000;  // below the pipe's buffer, so that one write never blocks

void readMessages(const std::uint8_t* data, std::size_t size) {
  int pipe[2];
  if (pipe2(pipe, O_CLOEXEC) != 0) std::abort();
  static const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  {
    kov::DevToolsConnection connection(sink, pipe[0]);
    int events = 0;
    connection.setEventHandler([&](const nlohmann::json& event) {
      if (event.is_discarded()) std::abort();
      ++events;
    });
    // Commands 1 and 2 want their "data" and "screenshotData" cut out; 3 has been given up on.
    connection.send("Page.captureScreenshot", nlohmann::json::object(), "", "data");
    connection.send("HeadlessExperimental.beginFrame", nlohmann::json::object(), "session", "screenshotData");
    connection.forget(connection.send("Runtime.evaluate", nlohmann::json::object()));
    if (write(pipe[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    try {
      connection.pump(0);
    } catch (const kov::BrowserError&) {
    }
    for (int id = 0; id < 6; ++id) {
      if (auto reply = connection.takeReply(id); reply && reply->body.is_discarded()) std::abort();
    }
  }
  close(pipe[0]);
  close(pipe[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kPipeCapacity) return -1;  // not added to the corpus
  readMessages(data, size);

  std::string text(reinterpret_cast<const char*>(data), size);
  std::string repaired = kov::withLoneSurrogatesReplaced(text);
  // Only "\uXXXX" escapes of surrogates change, each into one of the same length.
  if (repaired.size() != text.size()) std::abort();
  if (nlohmann::json::accept(text) && !nlohmann::json::accept(repaired)) std::abort();
  std::string field = text;
  kov::cutStringField(field, "data");
  return 0;
}
