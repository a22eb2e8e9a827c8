#include "capture/capture_reports.h"

#include <gtest/gtest.h>

#include <limits>

namespace kov {
namespace {

TEST(CaptureReports, KeysInOrderSlashesEscapedNumbersInShortestForm) {
  EXPECT_EQ(encodeReport(SnapReport{1280, 1500, "/tmp/shots/a.png"}),
            R"({"width":1280,"height":1500,"out":"\/tmp\/shots\/a.png"})");
  EXPECT_EQ(encodeReport(ScrollReport{1080, 960, 60, "/tmp/frames", 5000, "Stripes 1/2"}),
            R"({"width":1080,"height":960,"frames":60,"out":"\/tmp\/frames","page_height":5000,"title":"Stripes 1\/2"})");
  EXPECT_EQ(encodeReport(ScrollReport{320, 320, 5, "/f", 1234.5, "Quote \" back \\ caf\xc3\xa9"}),
            R"({"width":320,"height":320,"frames":5,"out":"\/f","page_height":1234.5,"title":"Quote \" back \\ caf)"
            "\xc3\xa9\"}");
  EXPECT_EQ(encodeReport(ScrollReport{320, 320, 5, "/f", 960, ""}),
            R"({"width":320,"height":320,"frames":5,"out":"\/f","page_height":960,"title":""})");
  EXPECT_EQ(encodeReport(ScrollReport{320, 320, 5, "/f", std::numeric_limits<double>::quiet_NaN(), ""}), "");
}

}  // namespace
}  // namespace kov
