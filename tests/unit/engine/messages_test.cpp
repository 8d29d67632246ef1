// The table of texts: both languages, values filled in in either order, and the
// French wordings checked against their English keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "idapi/core/messages.h"

namespace {

using idapi::core::Language;
using idapi::core::tr;

class Messages : public ::testing::Test {
 protected:
  void TearDown() override { idapi::core::setLanguage(Language::English); }
};

std::multiset<std::string> placeholders(const std::string& text) {
  std::multiset<std::string> found;
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') found.insert(text.substr(i, 2));
  return found;
}

TEST_F(Messages, EveryFrenchWordingFillsTheSameValuesAsItsEnglishKey) {
  std::set<std::string> keys;
  for (const auto& t : idapi::core::translations()) {
    SCOPED_TRACE(t.english);
    EXPECT_TRUE(keys.insert(t.english).second) << "listed twice";
    EXPECT_EQ(placeholders(t.english), placeholders(t.french));
    EXPECT_STRNE(t.english, t.french) << "not translated";
    EXPECT_NE(std::string(t.french).find_first_not_of(" "), std::string::npos);
  }
}

TEST_F(Messages, ValuesAreFilledInTheOrderOfTheWording) {
  EXPECT_EQ(tr("Engine error $%1", {"3F3F"}), "Engine error $3F3F");
  idapi::core::setLanguage(Language::French);
  EXPECT_EQ(tr("Engine error $%1", {"3F3F"}), "Erreur du moteur $3F3F");
  EXPECT_EQ(tr("Table:"), "Table :");
  // A wording missing from the table stays English, its values filled in all the same.
  EXPECT_EQ(tr("%2 before %1, 100%", {"one", "two"}), "two before one, 100%");
  // Values are not read again for placeholders.
  EXPECT_EQ(tr("Engine error $%1", {"%1%2"}), "Erreur du moteur $%1%2");
}

TEST_F(Messages, CodeTextsInBothLanguages) {
  EXPECT_EQ(idapi::core::codeText(DBIERR_HEADERCORRUPT), "The table header is corrupt");
  EXPECT_EQ(idapi::core::codeText(0x3F3F), "");
  idapi::core::setLanguage(Language::French);
  EXPECT_EQ(idapi::core::codeText(DBIERR_HEADERCORRUPT), "L'en-tête de la table est endommagé");
}

}  // namespace
