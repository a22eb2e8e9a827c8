#include "platform/web/browser.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <thread>

#include "platform/web/devtools_connection.h"
#include "platform/web/base64.h"
#include "support/fixtures.h"

namespace kov {
namespace {

using test::TempDir;
using test::writeFile;

struct Bgra {
  int b, g, r, a;
};

Bgra pixelAt(const BgraImage& image, int x, int y) {
  const std::uint8_t* p = &image.pixels[(static_cast<size_t>(y) * image.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

std::string pageUrl(const TempDir& dir, const std::string& name, const std::string& html) {
  writeFile(dir.file(name), html);
  return fileUrl(dir.file(name));
}

double number(const ScriptValue& value) {
  EXPECT_TRUE(std::holds_alternative<double>(value));
  return std::holds_alternative<double>(value) ? std::get<double>(value) : -1;
}

std::string text(const ScriptValue& value) {
  EXPECT_TRUE(std::holds_alternative<std::string>(value));
  return std::holds_alternative<std::string>(value) ? std::get<std::string>(value) : "";
}

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const BrowserError& error) {
    return error.what();
  }
  return "(no error)";
}

// Processes whose command line mentions `needle` (a browser's temporary folder, for instance).
int processesMentioning(const std::string& needle) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    std::string cmdline = test::readFile(std::string("/proc/") + entry->d_name + "/cmdline");
    if (cmdline.find(needle) != std::string::npos) ++count;
  }
  closedir(proc);
  return count;
}

// An HTTP server on 127.0.0.1 that answers `count` requests with `body` and keeps the requests.
class PageServer {
 public:
  PageServer(std::string body, int count) : body_(std::move(body)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 4);
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, count] {
      while (static_cast<int>(requests_.size()) < count && serveOne()) {
      }
    });
  }
  ~PageServer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  const std::vector<std::string>& requests() const { return requests_; }

 private:
  bool serveOne() {
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return false;
    std::string request;
    char buffer[8192];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = read(client, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    if (request.empty()) {  // a connection opened ahead of time and closed unused
      close(client);
      return true;
    }
    requests_.push_back(request);
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
                        "Connection: close\r\nContent-Length: " + std::to_string(body_.size()) + "\r\n\r\n" + body_;
    (void)!write(client, reply.data(), reply.size());
    close(client);
    return true;
  }

  std::string body_;
  std::vector<std::string> requests_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

const char* kBoxPage = R"(<!doctype html><html><head><title>Box / page</title><style>
  html, body { margin: 0; background: #ffffff; }
  #box { position: absolute; left: 40px; top: 20px; width: 60px; height: 50px; background: #ff0000; }
</style></head><body><div id="box"></div></body></html>)";

TEST(Browser, LoadsPagesRunsScriptsAndTakesExactPictures) {
  TempDir dir;
  auto browser = launchBrowser();
  auto page = browser->openPage({321, 201, false, std::nullopt});
  page->navigate(pageUrl(dir, "box page.html", kBoxPage), 30);

  EXPECT_EQ(text(page->evaluate("document.title")), "Box / page");
  EXPECT_EQ(number(page->evaluate("innerWidth * 1000 + innerHeight")), 321201);
  EXPECT_EQ(number(page->evaluate("devicePixelRatio")), 1);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(page->evaluate("({a: 1})")));
  EXPECT_EQ(std::get<bool>(page->evaluate("Promise.resolve(true)")), true);

  // Named arguments, awaited promises, and globals of the page itself.
  EXPECT_EQ(number(page->runAsync("await new Promise(r => setTimeout(r, 20)); return a * b + document.images.length;",
                                  {{"a", 6.0}, {"b", 7.0}})),
            42);
  EXPECT_EQ(text(page->runAsync("window.marker = word + '!'; return window.marker;", {{"word", std::string("h\"i\n")}})),
            "h\"i\n!");
  EXPECT_EQ(text(page->evaluate("marker")), "h\"i\n!");
  EXPECT_EQ(number(page->runAsync("return t // trailing comment", {{"t", 1.0 / 3.0}})), 1.0 / 3.0);
  // A promise that needs a rendered frame settles too.
  EXPECT_EQ(number(page->runAsync("return await new Promise(r => requestAnimationFrame(() => r(5)));")), 5);

  EXPECT_EQ(errorOf([&] { page->runAsync("throw new Error('boom at ' + t);", {{"t", 0.5}}); }), "Error: boom at 0.5");
  EXPECT_EQ(errorOf([&] { page->runAsync("await Promise.reject('plain text');"); }), "plain text");
  EXPECT_EQ(errorOf([&] { page->runAsync("await new Promise(() => {});", {}, 0.3); }),
            "the page's script did not finish within 0.3 seconds");
  EXPECT_EQ(number(page->evaluate("1 + 1")), 2) << "the page still answers after a script gave up";

  Picture png = page->capture({PictureFormat::Png, 88, true, true});
  ASSERT_EQ(png.width, 321);
  ASSERT_EQ(png.height, 201);
  ASSERT_EQ(png.pixels.width, 321);
  EXPECT_EQ(png.encoded.substr(1, 3), "PNG");
  Bgra inside = pixelAt(png.pixels, 70, 45), outside = pixelAt(png.pixels, 5, 5);
  EXPECT_EQ(inside.r, 255);
  EXPECT_EQ(inside.g, 0);
  EXPECT_EQ(inside.b, 0);
  EXPECT_EQ(inside.a, 255);
  EXPECT_EQ(outside.r + outside.g + outside.b, 3 * 255);
  EXPECT_EQ(outside.a, 255) << "an ordinary page is opaque";
  // Exact edges: one CSS pixel is one picture pixel.
  EXPECT_EQ(pixelAt(png.pixels, 40, 20).r, 255);
  EXPECT_EQ(pixelAt(png.pixels, 39, 20).g, 255);
  EXPECT_EQ(pixelAt(png.pixels, 99, 69).g, 0);
  EXPECT_EQ(pixelAt(png.pixels, 100, 69).g, 255);

  // Changes made by a script show in the next picture.
  page->runAsync("document.getElementById('box').style.left = '200px';");
  Picture moved = page->capture({PictureFormat::Png, 88, false, true});
  EXPECT_TRUE(moved.encoded.empty());
  EXPECT_EQ(pixelAt(moved.pixels, 70, 45).g, 255);
  EXPECT_EQ(pixelAt(moved.pixels, 230, 45).g, 0);

  Picture jpeg = page->capture({PictureFormat::Jpeg, 88, true, false});
  EXPECT_EQ(jpeg.width, 321);
  EXPECT_EQ(jpeg.height, 201);
  EXPECT_EQ(static_cast<unsigned char>(jpeg.encoded[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(jpeg.encoded[1]), 0xD8);
  EXPECT_TRUE(jpeg.pixels.pixels.empty());
}

TEST(Browser, ReportsTheEnginesNavigationErrorsAndKeepsWorking) {
  TempDir dir;
  auto browser = launchBrowser();
  auto page = browser->openPage({200, 100, false, std::nullopt});
  EXPECT_EQ(errorOf([&] { page->navigate(fileUrl(dir.file("missing.html")), 30); }), "net::ERR_FILE_NOT_FOUND");
  EXPECT_EQ(errorOf([&] { page->navigate("http://no-such-host.invalid/", 30); }), "net::ERR_NAME_NOT_RESOLVED");

  // Names under .invalid fail the same way with or without a network or a name server.
  EXPECT_EQ(errorOf([&] { page->navigate("http://a.b.invalid:8080/x", 30); }), "net::ERR_NAME_NOT_RESOLVED");

  // A page that moves on by itself while loading: the move may come before or after navigate() sees
  // the first page's load, so wait for the second page's own load, asking again when a question
  // meets the move itself ("Inspected target navigated or closed").
  std::string second = pageUrl(dir, "second.html", "<title>second</title>");
  page->navigate(pageUrl(dir, "first.html", "<script>location.href = '" + second + "';</script>"), 30);
  auto secondLoaded = [&] {
    try {
      ScriptValue done = page->evaluate("document.title === 'second' && document.readyState === 'complete'", 5);
      return std::holds_alternative<bool>(done) && std::get<bool>(done);
    } catch (const BrowserError&) {
      return false;
    }
  };
  for (int waited = 0; waited < 10000 && !secondLoaded(); waited += 50) page->sleep(50);
  EXPECT_EQ(text(page->evaluate("document.title")), "second");

  // Dialogs would freeze the page: they are dismissed.
  page->navigate(pageUrl(dir, "alert.html", "<script>alert('hi'); window.after = 7;</script>"), 30);
  EXPECT_EQ(number(page->evaluate("window.after")), 7);
}

// Page texts are UTF-16: half of a surrogate pair reaches us escaped as it stands and becomes U+FFFD.
TEST(Browser, TextsHoldingHalfASurrogatePairArriveWithTheReplacementCharacter) {
  TempDir dir;
  auto browser = launchBrowser();
  auto page = browser->openPage({200, 100, false, std::nullopt});
  page->navigate(pageUrl(dir, "half.html", "<script>document.title = 'A\\uD800B\\uDC00C';</script>"), 30);
  EXPECT_EQ(text(page->evaluate("document.title", 5)), "A\uFFFDB\uFFFDC");
  EXPECT_EQ(text(page->evaluate("'\\uD83D\\uDE00 kept'", 5)), "\U0001F600 kept") << "a whole pair stays one character";
  EXPECT_EQ(errorOf([&] { page->runAsync("throw '\\uD800';", {}, 5); }), "\uFFFD");
  EXPECT_EQ(errorOf([&] { page->runAsync("throw new Error('x\\uDFFF');", {}, 5); }), "Error: x\uFFFD");
}

TEST(Browser, TransparentPagesUserAgentsAndPrivateContexts) {
  TempDir dir;
  auto browser = launchBrowser();
  {
    auto page = browser->openPage({100, 80, true, std::nullopt});
    page->navigate(pageUrl(dir, "clear.html",
                           "<body style='margin:0'><div style='width:50px;height:80px;background:#0000ff'></div>"),
                   30);
    Picture picture = page->capture({PictureFormat::Png, 88, false, true});
    EXPECT_EQ(pixelAt(picture.pixels, 80, 40).a, 0) << "unpainted";
    Bgra blue = pixelAt(picture.pixels, 20, 40);
    EXPECT_EQ(blue.a, 255);
    EXPECT_EQ(blue.b, 255);
  }

  const std::string agent = "kov-test-agent/1.0 (tests)";
  PageServer server("<title>served</title>", 2);
  {
    auto page = browser->openPage({300, 200, false, agent});
    page->navigate(server.url(), 30);
    EXPECT_EQ(text(page->evaluate("navigator.userAgent")), agent);
    page->evaluate("localStorage.setItem('k', 'v'); document.cookie = 'visits=1; max-age=3600'; 0");
    EXPECT_EQ(text(page->evaluate("localStorage.getItem('k')")), "v");
  }
  {
    // A new page is a new private context: nothing stored by the last one is seen or sent.
    auto page = browser->openPage({300, 200, false, std::nullopt});
    page->navigate(server.url(), 30);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(page->evaluate("localStorage.getItem('k')")));
    EXPECT_EQ(text(page->evaluate("document.cookie")), "");
  }
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_NE(server.requests()[0].find("User-Agent: " + agent + "\r\n"), std::string::npos) << server.requests()[0];
  EXPECT_EQ(server.requests()[1].find("Cookie:"), std::string::npos) << server.requests()[1];
  EXPECT_EQ(server.requests()[1].find(agent), std::string::npos);

  // Timers keep running while the caller sleeps; a crashed page says so instead of hanging.
  auto page = browser->openPage({300, 200, false, std::nullopt});
  page->navigate(pageUrl(dir, "timer.html", "<script>window.ticks = 0; setInterval(() => ticks++, 20);</script>"), 30);
  page->sleep(300);
  EXPECT_GE(number(page->evaluate("ticks")), 5);
  EXPECT_EQ(errorOf([&] { page->navigate("chrome://crash", 30); }).empty(), false);
  EXPECT_EQ(errorOf([&] { page->evaluate("1"); }), "the page crashed");
}

TEST(Browser, LeavesNoProcessOrFolderBehind) {
  TempDir dir;
  const char* previous = std::getenv("TMPDIR");
  std::string saved = previous ? previous : "";
  setenv("TMPDIR", dir.path().c_str(), 1);
  {
    auto browser = launchBrowser();
    if (previous) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
    auto page = browser->openPage({100, 100, false, std::nullopt});
    EXPECT_GE(processesMentioning(dir.path()), 1);
    EXPECT_FALSE(std::filesystem::is_empty(dir.path()));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  EXPECT_EQ(processesMentioning(dir.path()), 0);

  // A browser that does not come up is a failure with its name, and leaves nothing behind either.
  setenv("TMPDIR", dir.path().c_str(), 1);
  std::string failure = errorOf([] { launchBrowser("/bin/false"); });
  if (previous) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_EQ(failure.rfind("the browser /bin/false did not start: ", 0), 0u) << failure;
  EXPECT_EQ(failure.find('\n'), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // Nowhere to make the temporary folder: the system's reason, and no process left waiting.
  setenv("TMPDIR", dir.file("missing").c_str(), 1);
  failure = errorOf([] { launchBrowser(); });
  if (previous) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_EQ(failure, "cannot make a temporary folder in " + dir.file("missing") + ": No such file or directory");
  EXPECT_EQ(processesMentioning(dir.path()), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// A temporary root whose path holds a line break, beside a folder named like its first line: the
// browser does not start, and neither folder is touched or left holding anything of the run.
TEST(Browser, ATemporaryRootWithALineBreakIsRefusedAndNoOtherFolderIsRemoved) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("a"));
  test::writeFile(dir.file("a/keep"), "kept");
  std::string root = dir.file("a\nb");
  std::filesystem::create_directories(root);
  const char* previous = std::getenv("TMPDIR");
  std::string saved = previous ? previous : "";
  setenv("TMPDIR", root.c_str(), 1);
  std::string failure = errorOf([] { launchBrowser(); });
  if (previous) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_EQ(failure, "cannot make a temporary folder in " + root + ": its path holds a line break");
  EXPECT_EQ(test::readFile(dir.file("a/keep")), "kept");
  for (int waited = 0; waited < 2000 && !std::filesystem::is_empty(root); waited += 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(std::filesystem::is_empty(root));
}

TEST(PictureCodec, Base64AndBulkFields) {
  EXPECT_EQ(decodeBase64("aGVsbG8="), "hello");
  EXPECT_EQ(decodeBase64("aGVsbG8"), "hello");
  EXPECT_EQ(decodeBase64("aGk="), "hi");
  EXPECT_EQ(decodeBase64(""), "");
  EXPECT_FALSE(decodeBase64("aGk*"));
  EXPECT_FALSE(decodeBase64("a"));

  std::string reply = R"({"id":7,"result":{"screenshotData":"iVBOR\/w==","hasDamage":true}})";
  EXPECT_EQ(cutStringField(reply, "screenshotData"), "iVBOR/w==");
  EXPECT_EQ(reply, R"({"id":7,"result":{"screenshotData":"","hasDamage":true}})");
  EXPECT_EQ(cutStringField(reply, "data"), "");

  EXPECT_EQ(fileUrl("/tmp/a b/page#1%.html"), "file:///tmp/a%20b/page%231%25.html");
  EXPECT_EQ(fileUrl("/tmp/\xC3\xA9.html"), "file:///tmp/%C3%A9.html");
}

TEST(DevToolsText, HalvesOfSurrogatePairsBecomeTheReplacementCharacter) {
  EXPECT_EQ(withLoneSurrogatesReplaced(R"({"v":"a\ud800b"})"), R"({"v":"a\ufffdb"})");
  EXPECT_EQ(withLoneSurrogatesReplaced(R"({"v":"\uDC00\uD800"})"), R"({"v":"\ufffd\ufffd"})") << "reversed pair";
  EXPECT_EQ(withLoneSurrogatesReplaced(R"({"v":"\ud800"})"), R"({"v":"\ufffd"})") << "at the end of a text";
  EXPECT_EQ(withLoneSurrogatesReplaced(R"({"v":"\uDBFF\uDBFF\uDC00"})"), R"({"v":"\ufffd\uDBFF\uDC00"})");
  // Left alone: whole pairs, other escapes, an escaped backslash before "u", a cut-off escape.
  for (std::string same : {R"({"v":"\ud83d\ude00"})", R"({"\"\\ud800":"\u00e9\n"})", R"({"v":"\\ud800"})",
                           R"({"v":"\ud80)", R"(\ud800)"})
    EXPECT_EQ(withLoneSurrogatesReplaced(same), same);
}

TEST(DevToolsConnection, MessagesWithHalfASurrogatePairReachTheirWaiter) {
  int pipe[2];
  ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
  int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  DevToolsConnection connection(sink, pipe[0]);
  std::vector<nlohmann::json> events;
  connection.setEventHandler([&](const nlohmann::json& event) { events.push_back(event); });
  int id = connection.send("Runtime.evaluate", {{"expression", "document.title"}});
  std::string incoming = R"({"method":"Page.titleChanged","params":{"title":"\udc00"}})" + std::string(1, '\0') +
                         R"({"id":)" + std::to_string(id) + R"(,"result":{"result":{"type":"string","value":"T\ud800"}}})" +
                         std::string(1, '\0');
  ASSERT_EQ(write(pipe[1], incoming.data(), incoming.size()), static_cast<ssize_t>(incoming.size()));
  connection.pump(1000);
  auto reply = connection.takeReply(id);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body["result"]["result"]["value"], "T\uFFFD");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["params"]["title"], "\uFFFD");
  close(pipe[0]);
  close(pipe[1]);
  close(sink);
}

}  // namespace
}  // namespace kov
