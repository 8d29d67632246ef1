// The window class runs the reindex run through its own table object and routine.
#include <gtest/gtest.h>

#include "policy/run_plan.h"
#include "fakes.h"
#include "indexer2.h"

namespace {

TEST(Frmindexer, RunsTheFixedTablesThroughItsTableObject) {
  fake::System system;
  fake::Engine fakeEngine;
  system.installEngine("IDAPI32.DLL");
  engine::Engine eng(system);
  TFrmindexer form(system, eng);
  form.reindexerfichiers();
  ASSERT_EQ(fakeEngine.regenerated.size(), policy::kTablesFixes.size());
  EXPECT_EQ(fakeEngine.regenerated.front(), "C:\\Orvane\\DATA\\NEUF\\CATALOGUE.DBF");
  EXPECT_EQ(form.tabletransit.TableName(), "C:\\Orvane\\DATA\\factures\\MODELE\\DetFact.DBF");
  EXPECT_FALSE(form.tabletransit.Active());
  EXPECT_FALSE(form.tabletransit.Exclusive());
}

}  // namespace
