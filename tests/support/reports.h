// Checks shared by the tests that run the tool: a report on success, one failure line otherwise.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "support/tool_run.h"

namespace kov::test {

// Expects status 0, nothing on standard error and one JSON object on standard output without a
// trailing line feed; returns it parsed (an empty object when there is none).
nlohmann::json successfulReport(const RunResult& run);

// Expects status 1, nothing on standard output and exactly `message` on standard error.
void expectFailure(const RunResult& run, const std::string& message);

}  // namespace kov::test
