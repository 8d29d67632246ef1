// Matchers for the errors the code under test throws: its error code and its text.
//   EXPECT_THAT([&] { table.Open(); },
//               Throws<engine::EngineError>(CodeAndText(DBIERR_NOSUCHFILE, StrEq("..."))));
#pragma once

#include <gmock/gmock.h>

#include <string>

namespace testsupport {

// An error whose code() equals `code` and whose what() matches `text`.
MATCHER_P2(CodeAndText, code, text,
           "code " + ::testing::PrintToString(code) + " and a text that " +
               ::testing::DescribeMatcher<std::string>(text, negation)) {
  if (static_cast<long long>(arg.code()) != static_cast<long long>(code)) {
    *result_listener << "code " << ::testing::PrintToString(arg.code()) << ", text \"" << arg.what() << "\"";
    return false;
  }
  if (!::testing::Matches(text)(std::string(arg.what()))) {
    *result_listener << "text \"" << arg.what() << "\"";
    return false;
  }
  return true;
}

}  // namespace testsupport
