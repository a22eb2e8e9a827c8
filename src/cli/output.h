// The two ways a run ends: one failure line on standard error with status 1, or one JSON report on
// standard output with status 0.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "platform/process/process_exit.h"
#include "platform/process/visible_text.h"

namespace kov {

// Writes `message` (which carries its own line feed) to standard error in one write and ends the
// process with status 1. Cleanups registered with `onProcessExit` run first. Whatever the message
// holds, one line is written: control characters before the final line feed are shown visibly.
[[noreturn]] void fail(std::string_view message);

// Writes the encoded report to standard output in one write. A report that could not be encoded
// (an empty text) or could not be written ends the process through `fail` instead.
void writeReport(std::string_view json);

// Writes the report and ends the process with status 0, running the registered cleanups first.
[[noreturn]] void finishWithReport(std::string_view json);

// Runs `produceReport` (which returns the encoded report) and ends the process with that report,
// or, when it throws, with the failure line `failurePrefix` + the exception's text. Whatever
// `produceReport` holds (a browser, say) is gone before the process ends either way.
template <typename ProduceReport>
[[noreturn]] void finishWithReportOrFailure(std::string_view failurePrefix, ProduceReport produceReport) {
  std::string json;
  try {
    json = produceReport();
  } catch (const std::exception& error) {
    fail(std::string(failurePrefix) + error.what() + "\n");
  }
  finishWithReport(json);
}

// The failure lines for reports that cannot be encoded or written.
inline constexpr const char* kReportNotEncodable = "cannot encode the report: a value is not a finite number\n";
inline constexpr const char* kReportNotWritten = "cannot write the report: ";

}  // namespace kov
