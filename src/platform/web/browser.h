// Headless Chromium driven over the DevTools protocol on a pipe: one browser process per run, pages
// of an exact pixel size in private browser contexts, navigation, page scripts and pictures.
//
// Everything runs on the calling thread. The pipe to the browser is the event loop: every call that
// waits (navigation, scripts, sleeps, captures) reads and dispatches the browser's messages until its
// answer, event or deadline arrives, so page timers, loads and rendering keep going meanwhile.
//
// Failures are thrown as `BrowserError`, whose text is one line fit for a failure message (the
// engine's own text where there is one, such as "net::ERR_NAME_NOT_RESOLVED").
//
// The browser and its temporary folder never outlive the process: they go away when the `Browser` is
// destroyed, when the process ends through `exitProcess` (src/platform/process/process_exit.h), on SIGINT,
// SIGTERM or SIGHUP, and when the process is killed outright (a guardian process notices).
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "platform/pixels.h"

namespace kov {

class BrowserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A wait that reached its limit (the text says which wait and how long).
class BrowserTimeout : public BrowserError {
 public:
  using BrowserError::BrowserError;
};

struct PageOptions {
  int width = 0;   // the view in CSS pixels, captured one pixel per CSS pixel
  int height = 0;
  bool transparent = false;              // unpainted areas come back with alpha 0
  std::optional<std::string> userAgent;  // replaces the request header and navigator.userAgent
};

// A value crossing into or out of a page script. Results other than a number, a text or a Boolean
// (objects, undefined, null) come back as std::monostate.
using ScriptValue = std::variant<std::monostate, double, std::string, bool>;

struct ScriptArgument {
  std::string name;  // the name the script body uses
  ScriptValue value;
};

enum class PictureFormat {
  Png,   // lossless
  Jpeg,  // lossy, at `jpegQuality`
};

struct CaptureRequest {
  PictureFormat format = PictureFormat::Png;
  int jpegQuality = 88;      // 0..100
  bool keepEncoded = true;   // fill Picture::encoded with the file bytes
  bool decode = false;       // fill Picture::pixels with the decoded BGRA picture
};

// What `capture` hands back has been checked: the header's size is the view's (the whole picture is
// decoded only when asked for).
struct Picture {
  int width = 0;            // pixel size of the captured view
  int height = 0;
  std::string encoded;      // PNG or JPEG file bytes, when asked for
  BgraImage pixels;         // straight-alpha BGRA, exactly width x height, when asked for
};

// One page (a tab in its own fresh browser context: no cookies, cache or storage shared with
// anything else; all of it gone when the page is destroyed).
class Page {
 public:
  virtual ~Page() = default;

  // Loads `url` (file://, http:// or https://) and waits for that navigation's load event. A failed
  // navigation throws with the engine's error text. `limitSeconds` bounds the whole wait.
  virtual void navigate(const std::string& url, std::optional<double> limitSeconds = std::nullopt) = 0;

  // Runs `body` as the body of an async function in the page's global scope, with `arguments` bound
  // to their names, and waits until its promise settles. Returns the resolved value. A thrown
  // exception or rejected promise throws with the exception's description (first line). A script
  // that has not settled after `limitSeconds` throws.
  virtual ScriptValue runAsync(const std::string& body, const std::vector<ScriptArgument>& arguments = {},
                               double limitSeconds = 60) = 0;

  // Evaluates an expression in the page's global scope (a promise is awaited) and returns its value.
  virtual ScriptValue evaluate(const std::string& expression, double limitSeconds = 60) = 0;

  // Waits `milliseconds` while the page keeps running (timers, loads, animation frames, rendering).
  virtual void sleep(int milliseconds) = 0;

  // Takes a picture of the view as it is now, after pending rendering, exactly width x height.
  virtual Picture capture(const CaptureRequest& request) = 0;
};

class Browser {
 public:
  virtual ~Browser() = default;

  // Opens a page of exactly options.width x options.height (device scale factor 1) in a fresh
  // browser context, showing about:blank. A page must not outlive the browser that opened it.
  virtual std::unique_ptr<Page> openPage(const PageOptions& options) = 0;
};

// Starts the headless browser. Throws BrowserError when none is installed (the message says what to
// install) or when it does not come up.
std::unique_ptr<Browser> launchBrowser();

// Starts the browser binary at `binary` (a Chromium build that speaks the DevTools protocol on a pipe).
std::unique_ptr<Browser> launchBrowser(const std::string& binary);

// The file:// URL of an absolute path, with the characters that URLs reserve percent-encoded.
std::string fileUrl(const std::string& absolutePath);

}  // namespace kov
