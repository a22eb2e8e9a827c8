#include "capture/capture_settings.h"

#include <gtest/gtest.h>

#include "capture/web_address.h"

namespace kov {
namespace {

SnapSettings snapWith(Args options) {
  options.insert(options.begin(), {"https://example.com/", "--out", "a.png"});
  return readSnapSettings(options);
}

ScrollSettings scrollWith(Args options) {
  options.insert(options.begin(), {"https://example.com/", "--out", "frames"});
  return readScrollSettings(options);
}

TEST(CaptureSettings, SnapSizesAreClampedUpperBoundFirstThenTakenTowardZero) {
  EXPECT_EQ(snapWith({}).width, 1280);
  EXPECT_EQ(snapWith({}).height, 1500);
  EXPECT_EQ(snapWith({"--width", "100"}).width, 320);
  EXPECT_EQ(snapWith({"--width", "5000"}).width, 2560);
  EXPECT_EQ(snapWith({"--width", "1280.9"}).width, 1280);
  EXPECT_EQ(snapWith({"--width", "nan"}).width, 320);
  EXPECT_EQ(snapWith({"--width", "abc"}).width, 1280);
  EXPECT_EQ(snapWith({"--width", "-inf"}).width, 320);
  EXPECT_EQ(snapWith({"--width", "1e999"}).width, 2560);
  EXPECT_EQ(snapWith({"--width", "400", "--width", "900"}).width, 400);
  EXPECT_EQ(snapWith({"--width"}).width, 1280);
  EXPECT_EQ(snapWith({"--height", "100"}).height, 600);
  EXPECT_EQ(snapWith({"--height", "9000"}).height, 4000);
  EXPECT_EQ(snapWith({"--height", "1499.99"}).height, 1499);
  EXPECT_EQ(snapWith({"--height", "NaN"}).height, 600);
  EXPECT_EQ(snapWith({"--height", "0x400"}).height, 1024);
}

TEST(CaptureSettings, ScrollOptionsHaveTheirOwnBoundsAndKeepFractions) {
  ScrollSettings defaults = scrollWith({});
  EXPECT_EQ(defaults.width, 1080);
  EXPECT_EQ(defaults.height, 960);
  EXPECT_EQ(defaults.seconds, 4);
  EXPECT_EQ(defaults.fps, 15);
  EXPECT_EQ(defaults.distance, 1.5);

  EXPECT_EQ(scrollWith({"--height", "100"}).height, 320);  // not the 600 of snap
  EXPECT_EQ(scrollWith({"--height", "3000"}).height, 2560);
  EXPECT_EQ(scrollWith({"--width", "100"}).width, 320);
  EXPECT_EQ(scrollWith({"--fps", "100"}).fps, 30);
  EXPECT_EQ(scrollWith({"--fps", "1"}).fps, 5);
  EXPECT_EQ(scrollWith({"--fps", "nan"}).fps, 5);
  EXPECT_EQ(scrollWith({"--fps", "7.5"}).fps, 7.5);
  EXPECT_EQ(scrollWith({"--seconds", "0.5"}).seconds, 1);
  EXPECT_EQ(scrollWith({"--seconds", "20"}).seconds, 12);
  EXPECT_EQ(scrollWith({"--seconds", "nan"}).seconds, 1);
  EXPECT_EQ(scrollWith({"--seconds", "1.1"}).seconds, 1.1);
  EXPECT_EQ(scrollWith({"--distance", "10"}).distance, 6);
  EXPECT_EQ(scrollWith({"--distance", "-1"}).distance, 0);
  EXPECT_EQ(scrollWith({"--distance", "nan"}).distance, 0);
  EXPECT_EQ(scrollWith({"--distance", "-inf"}).distance, 0);
  EXPECT_EQ(scrollWith({"--distance", "0.25"}).distance, 0.25);
  EXPECT_EQ(scrollWith({"--distance", "5s"}).distance, 1.5);
  // A value that looks like an option is still the value text: "--fps" does not parse, so the
  // seconds stay at their default and "--fps 10" is read on its own.
  ScrollSettings shifted = scrollWith({"--seconds", "--fps", "10"});
  EXPECT_EQ(shifted.seconds, 4);
  EXPECT_EQ(shifted.fps, 10);
}

TEST(WebAddress, OnlyHttpAndHttpsExactlyAsWritten) {
  for (const char* accepted : {"http://example.com", "https://example.com/a/b?c=d#e", "http://127.0.0.1:8080/x",
                               "https://[::1]:443/", "http:relative", "http://nonexistent.invalid/"})
    EXPECT_TRUE(isWebAddress(accepted)) << accepted;
  for (const char* refused : {"", "example.com", "www.example.com/page", "ftp://example.com/f", "file:///tmp/a.html",
                              "HTTP://example.com", "Https://example.com", "httpx://example.com", "--out",
                              "data:text/html,hi", "about:blank", "http://exa mple.com/", "http://[::1/",
                              "javascript:alert(1)", " http://example.com"})
    EXPECT_FALSE(isWebAddress(refused)) << '"' << refused << '"';
}

}  // namespace
}  // namespace kov
