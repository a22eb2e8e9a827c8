#include "support/reports.h"

#include <gtest/gtest.h>

namespace kov::test {

nlohmann::json successfulReport(const RunResult& run) {
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(run.out.empty());
  if (run.out.empty()) return nlohmann::json::object();
  EXPECT_EQ(run.out.back(), '}');
  return nlohmann::json::parse(run.out);
}

void expectFailure(const RunResult& run, const std::string& message) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, message);
}

}  // namespace kov::test
