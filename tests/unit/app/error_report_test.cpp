#include "app/error_report.h"

#include <gtest/gtest.h>

#include "app/errors.h"

namespace {

std::string shown(const std::exception& e) { return app::reportText(e).value_or("<nothing>"); }

TEST(ErrorReport, FullStopRuleFollowsTheLastCharacter) {
  EXPECT_EQ(app::withFullStop("Table introuvable"), "Table introuvable.");
  EXPECT_EQ(app::withFullStop("Erreur E/S 3"), "Erreur E/S 3.");
  // ")" " " "." and anything coded below them end the message as it is.
  EXPECT_EQ(app::withFullStop("(code 12)"), "(code 12)");
  EXPECT_EQ(app::withFullStop("trailing space "), "trailing space ");
  EXPECT_EQ(app::withFullStop("already."), "already.");
  EXPECT_EQ(app::withFullStop("comma,"), "comma,");
  EXPECT_EQ(app::withFullStop("dash-"), "dash-");  // '-' is 0x2D: below '.'
  EXPECT_EQ(app::withFullStop("line\r\n"), "line\r\n");
  EXPECT_EQ(app::withFullStop("slash/"), "slash/.");  // '/' is 0x2F: above '.'
  EXPECT_EQ(app::withFullStop(""), "");
}

TEST(ErrorReport, NonAsciiLastCharacterGetsAFullStop) {
  EXPECT_EQ(app::withFullStop("Acc\u00E8s refus\u00E9"), "Acc\u00E8s refus\u00E9.");
  EXPECT_EQ(app::withFullStop("fin \u2026"), "fin \u2026.");
  EXPECT_EQ(app::withFullStop("voiture \U0001F697"), "voiture \U0001F697.");
}

TEST(ErrorReport, SilentAbortShowsNothing) {
  EXPECT_FALSE(app::reportText(app::SilentAbort()).has_value());
  EXPECT_FALSE(app::reportText(std::make_exception_ptr(app::SilentAbort())).has_value());
  EXPECT_FALSE(app::reportText(std::exception_ptr()).has_value());
}

TEST(ErrorReport, InnermostNonEmptyInnerMessageWins) {
  try {
    try {
      try {
        throw app::Error("innermost");
      } catch (...) {
        std::throw_with_nested(app::Error(""));  // empty: skipped
      }
    } catch (...) {
      std::throw_with_nested(app::Error("outer"));
    }
  } catch (const std::exception& e) {
    EXPECT_EQ(shown(e), "innermost.");
  }
}

TEST(ErrorReport, EmptyInnerMessagesFallBackToTheNearestNonEmptyOne) {
  try {
    try {
      try {
        throw app::Error("");
      } catch (...) {
        std::throw_with_nested(app::Error("middle (12)"));
      }
    } catch (...) {
      std::throw_with_nested(app::Error("outer"));
    }
  } catch (const std::exception& e) {
    EXPECT_EQ(shown(e), "middle (12)");
  }
  // All empty: the (empty) outer message, without a full stop.
  try {
    try {
      throw app::Error("");
    } catch (...) {
      std::throw_with_nested(app::Error(""));
    }
  } catch (const std::exception& e) {
    EXPECT_EQ(shown(e), "");
  }
}

TEST(ErrorReport, ForeignExceptionsStillReport) {
  EXPECT_EQ(app::reportText(std::make_exception_ptr(std::runtime_error("plain"))).value(), "plain.");
  EXPECT_EQ(app::reportText(std::make_exception_ptr(42)).value(), "Erreur inconnue.");
  // A nested non-standard exception ends the walk: the outer message is kept.
  try {
    try {
      throw 7;
    } catch (...) {
      std::throw_with_nested(app::Error("outer"));
    }
  } catch (const std::exception& e) {
    EXPECT_EQ(shown(e), "outer.");
  }
}

}  // namespace
