// Browser and Page over the DevTools protocol. One browser process; each page is a target in its own
// browser context, attached with a flattened session so its events arrive tagged with the session id.
//
// When the browser offers HeadlessExperimental.beginFrame, pages are created under begin-frame
// control: nothing is rendered unless we ask for a frame, which makes pictures deterministic and
// cheap (the picture comes with the frame). The flip side is that requestAnimationFrame, layout-driven
// promises and animations stall between frames, so every wait keeps issuing frames while it waits.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

#include "numeric/number_text.h"
#include "platform/image/picture_codec.h"
#include "platform/process/process_exit.h"
#include "platform/web/browser.h"
#include "platform/web/browser_process.h"
#include "platform/web/devtools_connection.h"
#include "platform/web/base64.h"

namespace kov {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr const char* kNoBrowser =
    "no web browser found: install Debian's chromium-headless-shell package (apt-get install chromium-headless-shell)";
constexpr int kFrameSpacingMs = 16;    // frames issued while waiting, about 60 per second
constexpr int kFirstFrameDelayMs = 2;  // most scripts answer at once, without needing a frame
constexpr double kStartLimit = 30;     // seconds for the browser to answer its first command
constexpr double kCommandLimit = 60;   // seconds for plain protocol commands and captures
constexpr int kPumpSliceMs = 1000;

Clock::time_point deadlineAfter(std::optional<double> seconds) {
  if (!seconds || !std::isfinite(*seconds) || *seconds > 1e7) return Clock::time_point::max();
  return Clock::now() + std::chrono::microseconds(static_cast<long long>(std::max(0.0, *seconds) * 1e6));
}

int millisecondsUntil(Clock::time_point deadline, Clock::time_point now) {
  if (deadline == Clock::time_point::max()) return kPumpSliceMs;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, kPumpSliceMs));
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The page's own words for an exception: "Error: message" for Error objects, the thrown value
// otherwise. Stack lines are dropped so that the text fits in a one-line failure message.
std::string exceptionText(const json& details) {
  const json& exception = details.contains("exception") ? details["exception"] : json::object();
  if (exception.contains("description") && exception["description"].is_string())
    return firstLine(exception["description"].get<std::string>());
  if (exception.contains("value")) {
    const json& value = exception["value"];
    return firstLine(value.is_string() ? value.get<std::string>() : value.dump());
  }
  if (exception.contains("unserializableValue")) return exception["unserializableValue"].get<std::string>();
  if (details.contains("text") && details["text"].is_string()) return firstLine(details["text"].get<std::string>());
  return "the page's script failed";
}

ScriptValue toScriptValue(const json& remote) {
  std::string type = remote.value("type", "");
  if (type == "number") {
    if (remote.contains("value") && remote["value"].is_number()) return remote["value"].get<double>();
    std::string special = remote.value("unserializableValue", "");
    if (special == "NaN") return std::nan("");
    if (special == "Infinity") return HUGE_VAL;
    if (special == "-Infinity") return -HUGE_VAL;
    if (special == "-0") return -0.0;
    return std::monostate{};
  }
  if (type == "string" && remote.contains("value")) return remote["value"].get<std::string>();
  if (type == "boolean" && remote.contains("value")) return remote["value"].get<bool>();
  return std::monostate{};
}

std::string jsLiteral(const ScriptValue& value) {
  if (auto* number = std::get_if<double>(&value)) {
    if (std::isnan(*number)) return "NaN";
    if (std::isinf(*number)) return *number > 0 ? "Infinity" : "-Infinity";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", *number);
    return text;
  }
  if (auto* text = std::get_if<std::string>(&value))
    return json(*text).dump(-1, ' ', false, json::error_handler_t::replace);
  if (auto* flag = std::get_if<bool>(&value)) return *flag ? "true" : "false";
  return "undefined";
}

class ChromiumBrowser;

class ChromiumPage final : public Page {
 public:
  ChromiumPage(ChromiumBrowser& browser, std::string contextId, std::string targetId, std::string sessionId,
               PageOptions options, bool beginFrames)
      : browser_(browser),
        contextId_(std::move(contextId)),
        targetId_(std::move(targetId)),
        sessionId_(std::move(sessionId)),
        options_(std::move(options)),
        beginFrames_(beginFrames) {}
  ~ChromiumPage() override;

  void setUp();
  void navigate(const std::string& url, std::optional<double> limitSeconds) override;
  ScriptValue runAsync(const std::string& body, const std::vector<ScriptArgument>& arguments,
                       double limitSeconds) override;
  ScriptValue evaluate(const std::string& expression, double limitSeconds) override;
  void sleep(int milliseconds) override;
  Picture capture(const CaptureRequest& request) override;

  const std::string& sessionId() const { return sessionId_; }
  const std::string& targetId() const { return targetId_; }
  void onEvent(const std::string& method, const json& params);
  void markGone(const std::string& reason) {
    if (gone_.empty()) gone_ = reason;
  }
  void throwIfGone() const {
    if (!gone_.empty()) throw BrowserError(gone_);
  }
  // A wait is starting: its first frame is due shortly.
  void beginWait(Clock::time_point now) { firstFrameDue_ = now + std::chrono::milliseconds(kFirstFrameDelayMs); }
  // Issues the next frame when one is due; returns how long the caller may wait before calling again.
  int driveFrames(Clock::time_point now);

 private:
  json command(const std::string& method, const json& params, Clock::time_point deadline,
               const std::string& timeoutText);
  ScriptValue evaluateExpression(const std::string& expression, double limitSeconds);
  void finishFrameInFlight(Clock::time_point deadline);
  std::string takePicture(const CaptureRequest& request, Clock::time_point deadline);
  bool loadFinished() const;

  ChromiumBrowser& browser_;
  std::string contextId_;
  std::string targetId_;
  std::string sessionId_;
  PageOptions options_;
  bool beginFrames_;
  std::string gone_;

  int frameInFlight_ = 0;
  Clock::time_point lastFrame_{};
  Clock::time_point firstFrameDue_{};

  bool navigating_ = false;
  std::string navigationLoader_;
  std::string latestLoader_;
  std::set<std::string> loadedLoaders_;
};

class ChromiumBrowser final : public Browser {
 public:
  explicit ChromiumBrowser(const std::string& binary);
  ~ChromiumBrowser() override;

  std::unique_ptr<Page> openPage(const PageOptions& options) override;

  DevToolsConnection& connection() { return connection_; }
  bool alive() const { return alive_; }

  // Sends a command and waits for its reply, pumping the pipe (and, for a page, its frames). Throws
  // the protocol's error message, `timeoutText` at the deadline, or why the browser went away.
  DevToolsReply request(const std::string& method, const json& params, const std::string& sessionId,
                        Clock::time_point deadline, ChromiumPage* page, const std::string& timeoutText,
                        const std::string& bulkField = "");

  // Pumps until `done` holds (true) or the deadline passes (false).
  bool waitUntil(const std::function<bool()>& done, Clock::time_point deadline, ChromiumPage* page);

  void forgetPage(ChromiumPage* page) { pages_.erase(page->sessionId()); }
  void shutdown();

 private:
  std::unique_ptr<ChromiumPage> createPage(const PageOptions& options, bool beginFrames);
  bool probeBeginFrames(ChromiumPage& page);
  void onEvent(const json& event);

  BrowserProcess process_;
  DevToolsConnection connection_;
  std::map<std::string, ChromiumPage*> pages_;
  std::optional<bool> beginFrames_;
  bool alive_ = true;
};

// Browsers still running, so that every way out of the process ends them.
std::set<ChromiumBrowser*>& liveBrowsers() {
  static std::set<ChromiumBrowser*> live;
  return live;
}

void trackLiveBrowser(ChromiumBrowser* browser) {
  static bool registered = false;
  if (!registered) {
    registered = true;
    onProcessExit([] {
      auto live = liveBrowsers();
      for (ChromiumBrowser* b : live) b->shutdown();
    });
  }
  liveBrowsers().insert(browser);
}

// ---- ChromiumBrowser ----

ChromiumBrowser::ChromiumBrowser(const std::string& binary)
    : process_(binary), connection_(process_.commandFd(), process_.replyFd()) {
  trackLiveBrowser(this);
  connection_.setEventHandler([this](const json& event) { onEvent(event); });
  try {
    request("Browser.getVersion", json::object(), "", deadlineAfter(kStartLimit), nullptr,
            "the browser did not answer within " + numberText(kStartLimit, 6) + " seconds");
  } catch (const BrowserError& error) {
    std::string log = process_.logTail();
    liveBrowsers().erase(this);
    throw BrowserError("the browser " + binary + " did not start: " + (log.empty() ? error.what() : log));
  }
}

ChromiumBrowser::~ChromiumBrowser() {
  liveBrowsers().erase(this);
  shutdown();
}

void ChromiumBrowser::shutdown() {
  alive_ = false;
  for (auto& [session, page] : pages_) page->markGone("the browser was closed");
  process_.stop(0);
}

void ChromiumBrowser::onEvent(const json& event) {
  std::string method = event.value("method", "");
  const json& params = event.contains("params") ? event["params"] : json::object();
  std::string session = event.value("sessionId", "");
  if (!session.empty()) {
    auto page = pages_.find(session);
    if (page != pages_.end()) page->second->onEvent(method, params);
    return;
  }
  if (method == "Target.targetCrashed") {
    for (auto& [id, page] : pages_)
      if (page->targetId() == params.value("targetId", "")) page->markGone("the page crashed");
  } else if (method == "Target.detachedFromTarget") {
    auto page = pages_.find(params.value("sessionId", ""));
    if (page != pages_.end()) page->second->markGone("the page was closed");
  }
}

bool ChromiumBrowser::waitUntil(const std::function<bool()>& done, Clock::time_point deadline, ChromiumPage* page) {
  if (page) page->beginWait(Clock::now());
  for (;;) {
    if (done()) return true;
    if (page) page->throwIfGone();
    if (!alive_) throw BrowserError("the browser was closed");
    auto now = Clock::now();
    if (now >= deadline) return false;
    int timeout = millisecondsUntil(deadline, now);
    if (page) timeout = std::min(timeout, page->driveFrames(now));
    try {
      connection_.pump(timeout);
    } catch (const BrowserError& error) {
      alive_ = false;
      std::string reason = error.what();
      std::string log = process_.logTail();
      if (!log.empty()) reason += " (" + log.substr(0, 300) + ")";
      for (auto& [session, p] : pages_) p->markGone(reason);
      throw BrowserError(reason);
    }
  }
}

DevToolsReply ChromiumBrowser::request(const std::string& method, const json& params, const std::string& sessionId,
                                       Clock::time_point deadline, ChromiumPage* page, const std::string& timeoutText,
                                       const std::string& bulkField) {
  if (!alive_) throw BrowserError("the browser was closed");
  int id = connection_.send(method, params, sessionId, bulkField);
  std::optional<DevToolsReply> reply;
  bool answered = false;
  try {
    answered = waitUntil([&] { return (reply = connection_.takeReply(id)).has_value(); }, deadline, page);
  } catch (...) {
    connection_.forget(id);
    throw;
  }
  if (!answered) {
    connection_.forget(id);
    throw BrowserTimeout(timeoutText);
  }
  if (reply->body.contains("error")) {
    const json& error = reply->body["error"];
    throw BrowserError(error.is_object() ? error.value("message", "protocol error") : "protocol error");
  }
  return std::move(*reply);
}

std::unique_ptr<ChromiumPage> ChromiumBrowser::createPage(const PageOptions& options, bool beginFrames) {
  auto deadline = deadlineAfter(kCommandLimit);
  const std::string late = "the browser did not open a page within " + numberText(kCommandLimit, 6) + " seconds";
  std::string context = request("Target.createBrowserContext", {{"disposeOnDetach", true}}, "", deadline, nullptr, late)
                            .body["result"].value("browserContextId", "");
  json target = {{"url", "about:blank"},
                 {"width", options.width},
                 {"height", options.height},
                 {"browserContextId", context}};
  if (beginFrames) target["enableBeginFrameControl"] = true;
  std::string targetId = request("Target.createTarget", target, "", deadline, nullptr, late).body["result"].value("targetId", "");
  std::string session = request("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}}, "", deadline,
                                nullptr, late)
                            .body["result"]
                            .value("sessionId", "");
  auto page = std::make_unique<ChromiumPage>(*this, context, targetId, session, options, beginFrames);
  pages_[session] = page.get();
  request("Browser.setDownloadBehavior", {{"behavior", "deny"}, {"browserContextId", context}}, "", deadline, nullptr, late);
  page->setUp();
  return page;
}

bool ChromiumBrowser::probeBeginFrames(ChromiumPage& page) {
  try {
    request("HeadlessExperimental.beginFrame", json::object(), page.sessionId(), deadlineAfter(kCommandLimit), nullptr,
            "the browser did not draw a frame within " + numberText(kCommandLimit, 6) + " seconds");
    return true;
  } catch (const BrowserError&) {
    if (!alive_) throw;
    return false;
  }
}

std::unique_ptr<Page> ChromiumBrowser::openPage(const PageOptions& options) {
  if (options.width <= 0 || options.height <= 0) throw BrowserError("a page needs a positive width and height");
  if (beginFrames_) return createPage(options, *beginFrames_);
  auto page = createPage(options, true);
  beginFrames_ = probeBeginFrames(*page);
  if (*beginFrames_) return page;
  page.reset();  // its target never renders on its own: start over with an ordinary one
  return createPage(options, false);
}

// ---- ChromiumPage ----

ChromiumPage::~ChromiumPage() {
  browser_.forgetPage(this);
  if (!browser_.alive()) return;
  try {
    browser_.request("Target.disposeBrowserContext", {{"browserContextId", contextId_}}, "", deadlineAfter(5), nullptr,
                     "the page did not close");
  } catch (const BrowserError&) {
  }
}

json ChromiumPage::command(const std::string& method, const json& params, Clock::time_point deadline,
                           const std::string& timeoutText) {
  json result = browser_.request(method, params, sessionId_, deadline, this, timeoutText).body["result"];
  return result.is_null() ? json::object() : result;
}

void ChromiumPage::setUp() {
  auto deadline = deadlineAfter(kCommandLimit);
  const std::string late = "the browser did not set up the page within " + numberText(kCommandLimit, 6) + " seconds";
  command("Page.enable", json::object(), deadline, late);
  command("Page.setLifecycleEventsEnabled", {{"enabled", true}}, deadline, late);
  command("Inspector.enable", json::object(), deadline, late);
  command("Emulation.setDeviceMetricsOverride",
          {{"width", options_.width},
           {"height", options_.height},
           {"deviceScaleFactor", 1},
           {"mobile", false},
           {"screenWidth", options_.width},
           {"screenHeight", options_.height}},
          deadline, late);
  if (options_.transparent)
    command("Emulation.setDefaultBackgroundColorOverride", {{"color", {{"r", 0}, {"g", 0}, {"b", 0}, {"a", 0}}}},
            deadline, late);
  if (options_.userAgent) command("Emulation.setUserAgentOverride", {{"userAgent", *options_.userAgent}}, deadline, late);
}

void ChromiumPage::onEvent(const std::string& method, const json& params) {
  if (method == "Page.lifecycleEvent") {
    if (params.value("frameId", "") == targetId_ && params.value("name", "") == "load")
      loadedLoaders_.insert(params.value("loaderId", ""));
  } else if (method == "Page.frameNavigated") {
    const json& frame = params.contains("frame") ? params["frame"] : json::object();
    if (navigating_ && frame.value("id", "") == targetId_ && !frame.contains("parentId"))
      latestLoader_ = frame.value("loaderId", "");
  } else if (method == "Inspector.targetCrashed") {
    markGone("the page crashed");
  } else if (method == "Inspector.detached") {
    markGone("the page was closed");
  } else if (method == "Page.javascriptDialogOpening") {
    // Nobody can answer a dialog here; leaving it open would freeze the page's scripts for good.
    bool leaving = params.value("type", "") == "beforeunload";
    int id = browser_.connection().send("Page.handleJavaScriptDialog", {{"accept", leaving}}, sessionId_);
    browser_.connection().forget(id);
  }
}

int ChromiumPage::driveFrames(Clock::time_point now) {
  if (!beginFrames_) return kPumpSliceMs;
  if (frameInFlight_ && browser_.connection().takeReply(frameInFlight_)) frameInFlight_ = 0;
  if (frameInFlight_) return kPumpSliceMs;
  auto due = std::max(firstFrameDue_, lastFrame_ + std::chrono::milliseconds(kFrameSpacingMs));
  if (now < due) return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count()) + 1;
  // These frames only run the page's frame work (animation callbacks, layout); drawing is left to
  // the frames that take pictures, which draw whatever the page shows by then.
  frameInFlight_ = browser_.connection().send("HeadlessExperimental.beginFrame", {{"noDisplayUpdates", true}}, sessionId_);
  lastFrame_ = now;
  return kPumpSliceMs;
}

void ChromiumPage::finishFrameInFlight(Clock::time_point deadline) {
  if (!frameInFlight_) return;
  int id = frameInFlight_;
  frameInFlight_ = 0;
  bool answered = browser_.waitUntil([&] { return browser_.connection().takeReply(id).has_value(); }, deadline, nullptr);
  throwIfGone();
  if (!answered) {
    browser_.connection().forget(id);
    throw BrowserTimeout("the browser did not draw a frame within " + numberText(kCommandLimit, 6) + " seconds");
  }
}

bool ChromiumPage::loadFinished() const {
  if (loadedLoaders_.count(navigationLoader_)) return true;
  return !latestLoader_.empty() && loadedLoaders_.count(latestLoader_);
}

void ChromiumPage::navigate(const std::string& url, std::optional<double> limitSeconds) {
  auto deadline = deadlineAfter(limitSeconds);
  const std::string late =
      limitSeconds ? "the page did not load within " + numberText(*limitSeconds, 6) + " seconds" : "the page did not load";
  loadedLoaders_.clear();
  latestLoader_.clear();
  navigationLoader_.clear();
  navigating_ = true;
  json result;
  try {
    result = command("Page.navigate", {{"url", url}}, deadline, late);
  } catch (...) {
    navigating_ = false;
    throw;
  }
  std::string error = result.value("errorText", "");
  if (!error.empty()) {
    navigating_ = false;
    throw BrowserError(error);
  }
  if (result.value("isDownload", false)) {
    navigating_ = false;
    throw BrowserError("the address is a download, not a page");
  }
  navigationLoader_ = result.value("loaderId", "");
  if (navigationLoader_.empty()) {  // a move within the same document: nothing to load
    navigating_ = false;
    return;
  }
  bool loaded = browser_.waitUntil([this] { return loadFinished(); }, deadline, this);
  navigating_ = false;
  if (!loaded) throw BrowserTimeout(late);
}

ScriptValue ChromiumPage::evaluateExpression(const std::string& expression, double limitSeconds) {
  const std::string late = "the page's script did not finish within " + numberText(limitSeconds, 6) + " seconds";
  json result = command("Runtime.evaluate", {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}},
                        deadlineAfter(limitSeconds), late);
  if (result.contains("exceptionDetails")) throw BrowserError(exceptionText(result["exceptionDetails"]));
  return result.contains("result") ? toScriptValue(result["result"]) : ScriptValue{};
}

ScriptValue ChromiumPage::runAsync(const std::string& body, const std::vector<ScriptArgument>& arguments,
                                   double limitSeconds) {
  std::string names, values;
  for (const auto& argument : arguments) {
    if (!names.empty()) names += ", ", values += ", ";
    names += argument.name;
    values += jsLiteral(argument.value);
  }
  // The line breaks keep a trailing line comment in the body from swallowing the closing brace.
  return evaluateExpression("(async function(" + names + ") {\n" + body + "\n})(" + values + ")", limitSeconds);
}

ScriptValue ChromiumPage::evaluate(const std::string& expression, double limitSeconds) {
  return evaluateExpression(expression, limitSeconds);
}

void ChromiumPage::sleep(int milliseconds) {
  browser_.waitUntil([] { return false; }, Clock::now() + std::chrono::milliseconds(std::max(0, milliseconds)), this);
}

std::string ChromiumPage::takePicture(const CaptureRequest& request, Clock::time_point deadline) {
  const std::string late = "the browser did not take a picture within " + numberText(kCommandLimit, 6) + " seconds";
  json format = {{"format", request.format == PictureFormat::Png ? "png" : "jpeg"}, {"optimizeForSpeed", true}};
  if (request.format == PictureFormat::Jpeg) format["quality"] = std::clamp(request.jpegQuality, 0, 100);
  if (!beginFrames_) {
    json params = format;
    params["fromSurface"] = true;
    params["captureBeyondViewport"] = false;
    return browser_.request("Page.captureScreenshot", params, sessionId_, deadline, this, late, "data").bulk;
  }
  finishFrameInFlight(deadline);
  // A frame without damage may come back without a picture; the next one is forced to draw.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string data = browser_.request("HeadlessExperimental.beginFrame", {{"screenshot", format}}, sessionId_,
                                        deadline, nullptr, late, "screenshotData")
                           .bulk;
    throwIfGone();
    if (!data.empty()) return data;
  }
  return "";
}

// The size in the picture's header; only the header is read.
PixelSize encodedSize(PictureFormat format, const std::string& bytes) {
  if (format == PictureFormat::Png) {
    if (std::optional<PixelSize> size = pngSize(bytes)) return *size;
    throw BrowserError("the browser sent a damaged PNG");
  }
  if (std::optional<PixelSize> size = jpegSize(bytes)) return *size;
  BgraImage unused;
  throw BrowserError("the browser's picture cannot be decoded: " + decodeJpeg(bytes, unused).value_or("no picture"));
}

Picture ChromiumPage::capture(const CaptureRequest& request) {
  throwIfGone();
  std::string data = takePicture(request, deadlineAfter(kCommandLimit));
  if (data.empty()) throw BrowserError("the browser sent no picture");
  std::optional<std::string> bytes = decodeBase64(data);
  if (!bytes) throw BrowserError("the browser sent a picture that is not base64");

  Picture picture;
  if (request.decode) {
    auto failure = request.format == PictureFormat::Png ? decodePng(*bytes, picture.pixels)
                                                        : decodeJpeg(*bytes, picture.pixels);
    if (failure) throw BrowserError("the browser's picture cannot be decoded: " + *failure);
    picture.width = picture.pixels.width;
    picture.height = picture.pixels.height;
  } else {
    PixelSize size = encodedSize(request.format, *bytes);
    picture.width = size.width;
    picture.height = size.height;
  }
  if (picture.width != options_.width || picture.height != options_.height)
    throw BrowserError("the browser's picture is " + std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                       " instead of " + std::to_string(options_.width) + "x" + std::to_string(options_.height));
  if (request.keepEncoded) picture.encoded = std::move(*bytes);
  return picture;
}

}  // namespace

std::unique_ptr<Browser> launchBrowser() {
  std::string binary = findBrowserBinary();
  if (binary.empty()) throw BrowserError(kNoBrowser);
  return launchBrowser(binary);
}

std::unique_ptr<Browser> launchBrowser(const std::string& binary) { return std::make_unique<ChromiumBrowser>(binary); }

}  // namespace kov
