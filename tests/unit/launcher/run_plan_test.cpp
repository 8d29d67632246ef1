// The run's list of tables on its own, as the index checker's folder mode walks it:
// what it asks of its surroundings and when.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "policy/run_plan.h"

namespace {

struct Walk {
  int folderCalls = 0, yearCalls = 0;
  std::vector<std::string> tested, walked;
  std::vector<std::string> present;

  policy::RunSurroundings around() {
    return {[this] {
              ++folderCalls;
              return std::string("P\\");
            },
            [this] {
              ++yearCalls;
              return 2018;
            },
            [this](const std::string& p) {
              tested.push_back(p);
              for (const auto& f : present)
                if (f == p) return true;
              return false;
            }};
  }
};

TEST(RunPlan, AsksTheYearOnceAndTestsOnlyTheHeaderTableOfEachYearOfTheWindow) {
  Walk w;
  w.present = {"P\\DATA\\factures\\2013\\Fact.DBF", "P\\DATA\\factures\\2016\\Fact.DBF",
               "P\\DATA\\factures\\2020\\Fact.DBF"};
  policy::walkRun(w.around(), [&](const std::string& p) { w.walked.push_back(p); });
  EXPECT_EQ(w.yearCalls, 1);
  std::vector<std::string> expectedTests;
  for (int an = 2014; an <= 2019; ++an)
    expectedTests.push_back("P\\DATA\\factures\\" + std::to_string(an) + "\\Fact.DBF");
  EXPECT_EQ(w.tested, expectedTests);
  ASSERT_EQ(w.walked.size(), 18u);
  EXPECT_EQ(w.walked.front(), "P\\DATA\\NEUF\\CATALOGUE.DBF");
  EXPECT_EQ(w.walked[14], "P\\DATA\\factures\\MODELE\\DetFact.DBF");
  EXPECT_EQ(w.walked[15], "P\\DATA\\factures\\2016\\Fact.DBF");
  EXPECT_EQ(w.walked[16], "P\\DATA\\factures\\2016\\DetFact.DBF");
  EXPECT_EQ(w.walked[17], "P\\DATA\\factures\\2016\\ARCHIVEFACT.DBF");
  // The folder is read again for each fixed table and each year of the window.
  EXPECT_EQ(w.folderCalls, 15 + 6);
}

TEST(RunPlan, AnExceptionFromATableEndsTheWalk) {
  Walk w;
  int seen = 0;
  EXPECT_THROW(policy::walkRun(w.around(),
                               [&](const std::string& p) {
                                 if (++seen == 3) throw std::runtime_error(p);
                               }),
               std::runtime_error);
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(w.yearCalls, 0);
}

TEST(RunPlan, YearlyFolderName) {
  EXPECT_EQ(policy::dossiermois("C:\\O\\", 2017), "C:\\O\\DATA\\factures\\2017\\");
  EXPECT_EQ(policy::dossiermois("C:\\O\\", 987), "C:\\O\\DATA\\factures\\987\\");
}

}  // namespace
