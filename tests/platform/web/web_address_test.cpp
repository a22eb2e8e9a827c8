#include "platform/web/web_address.h"

#include <gtest/gtest.h>

namespace kov {
namespace {

TEST(AddressScheme, TheSchemeIsReadAsWrittenFromAWholeAddressOnly) {
  EXPECT_EQ(addressScheme("https://example.com/a?b#c"), "https");
  EXPECT_EQ(addressScheme("HTTP://example.com"), "HTTP");
  EXPECT_EQ(addressScheme("file:///tmp/a.html"), "file");
  EXPECT_EQ(addressScheme("example.com/page"), "");  // a relative reference has none
  EXPECT_FALSE(addressScheme("http://exa mple.com"));
  EXPECT_FALSE(addressScheme("http://[::1"));
  EXPECT_FALSE(addressScheme(std::string_view("http://a\0b", 10)));
}

}  // namespace
}  // namespace kov
