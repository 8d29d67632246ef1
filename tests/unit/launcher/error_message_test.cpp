// Composition of engine error messages from the engine's texts and error stack.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "engine/engine_error.h"

namespace {

struct Entry {
  DBIResult code;
  UINT32 native;
  std::string text;
};

struct Source {
  std::map<DBIResult, std::string> texts;
  std::vector<Entry> stack;
  bool endless = false;
  int entryCalls = 0;

  std::string compose(DBIResult code) {
    return engine::composeMessage(
        code,
        [this](DBIResult c) {
          const auto it = texts.find(c);
          return it == texts.end() ? std::string() : it->second;
        },
        [this](UINT16 n, UINT32& native, std::string& text) -> DBIResult {
          ++entryCalls;
          if (endless) {
            native = 0;
            text = "Encore une";
            return 0x2801;
          }
          if (n < 1 || n > stack.size()) return 0;
          native = stack[n - 1].native;
          text = stack[n - 1].text;
          return stack[n - 1].code;
        });
  }
};

TEST(HexCode, AtLeastFourUpperCaseDigits) {
  EXPECT_EQ(engine::hexCode(0x2108), "$2108");
  EXPECT_EQ(engine::hexCode(0x2a0b), "$2A0B");
  EXPECT_EQ(engine::hexCode(0x1f), "$001F");
  EXPECT_EQ(engine::hexCode(0), "$0000");
  EXPECT_EQ(engine::hexCode(0xFFFF), "$FFFF");
}

TEST(StartFailureMessage, ExactTextWithCode) {
  EXPECT_EQ(engine::startFailureMessage(0x2108),
            "Une erreur est survenue lors de l'initialisation du Borland Database Engine (erreur $2108)");
  EXPECT_EQ(engine::startFailureMessage(0x2a06),
            "Une erreur est survenue lors de l'initialisation du Borland Database Engine (erreur $2A06)");
}

TEST(ComposeMessage, CodeTextThenEntryCodeTextThenEntryText) {
  Source s;
  s.texts = {{0x2704, "Fichier introuvable."}, {0x2B02, "Erreur système : fichier absent."}};
  s.stack = {{0x2B02, 0, "Table : C:\\DATA\\CLIENT.DBF"}};
  EXPECT_EQ(s.compose(0x2704),
            "Fichier introuvable.\r\nErreur système : fichier absent.\r\nTable : C:\\DATA\\CLIENT.DBF");
}

TEST(ComposeMessage, NativeCodeEntriesGiveOnlyTheirOwnText) {
  Source s;
  s.texts = {{0x2801, "Enregistrement verrouillé."}, {0x3E05, "Pilote absent."}};
  s.stack = {{0x3E05, 17, "Message du serveur"}, {0x3E05, 0, "Suite"}};
  EXPECT_EQ(s.compose(0x2801), "Enregistrement verrouillé.\r\nMessage du serveur\r\nPilote absent.\r\nSuite");
}

TEST(ComposeMessage, TrimsAndDropsBlankLinesAndRepeatsInAnyLetterCase) {
  Source s;
  s.texts = {{0x2704, "  Fichier introuvable.\t"}, {0x2B02, " \r\n "}};
  s.stack = {{0x2B02, 0, "FICHIER INTROUVABLE."},
             {0x2704, 0, ""},
             {0x2B02, 0, "Accès refusé"},
             {0x2B02, 0, "ACCÈS REFUSÉ"},
             {0x2B02, 0, "  accès refusé  "}};
  EXPECT_EQ(s.compose(0x2704), "Fichier introuvable.\r\nAccès refusé");
}

TEST(ComposeMessage, EmptyStackGivesTheCodeTextAlone) {
  Source s;
  s.texts = {{0x2A0B, "Table en lecture seule."}};
  EXPECT_EQ(s.compose(0x2A0B), "Table en lecture seule.");
  EXPECT_EQ(s.entryCalls, 1);
}

TEST(ComposeMessage, NothingLeftGivesTheFallbackText) {
  Source s;
  EXPECT_EQ(s.compose(0x2704), "Erreur BDE $2704");
  s.texts = {{0x2A0B, "   "}};
  s.stack = {{0x2A0B, 0, " "}};
  EXPECT_EQ(s.compose(0x2A0B), "Erreur BDE $2A0B");
}

TEST(ComposeMessage, EndlessStackIsCutAtTheBound) {
  Source s;
  s.texts = {{0x2704, "Fichier introuvable."}, {0x2801, "Verrouillé."}};
  s.endless = true;
  EXPECT_EQ(s.compose(0x2704), "Fichier introuvable.\r\nVerrouillé.\r\nEncore une");
  EXPECT_EQ(s.entryCalls, engine::kMaxErrorEntries);
}

TEST(ComposeMessage, NoTrailingLineBreak) {
  Source s;
  s.texts = {{0x2704, "Un\r\n"}};
  s.stack = {{0x2704, 0, "Deux\r\n"}};
  EXPECT_EQ(s.compose(0x2704), "Un\r\nDeux");
}

TEST(SameTextIgnoringCase, FoldsFrenchLetters) {
  EXPECT_TRUE(engine::sameTextIgnoringCase("ÉCHEC À L'OUVERTURE", "échec à l'ouverture"));
  EXPECT_TRUE(engine::sameTextIgnoringCase("ŒUVRE", "œuvre"));
  EXPECT_TRUE(engine::sameTextIgnoringCase("Ÿ", "ÿ"));
  EXPECT_FALSE(engine::sameTextIgnoringCase("e", "é"));
  EXPECT_FALSE(engine::sameTextIgnoringCase("abc", "abcd"));
}

TEST(SameTextIgnoringCase, MalformedBytesMatchOnlyThemselves) {
  // Bytes that are not UTF-8 are neither folded nor taken for the letters they would
  // be in a code page, and different ones stay different.
  EXPECT_TRUE(engine::sameTextIgnoringCase("d\xE9j\xE0", "D\xE9J\xE0"));
  EXPECT_FALSE(engine::sameTextIgnoringCase("d\xE9j\xE0", "d\xE8j\xE0"));
  EXPECT_FALSE(engine::sameTextIgnoringCase("\xC9", "\xE9"));
  EXPECT_FALSE(engine::sameTextIgnoringCase("\xE9", "\xC3\xA9"));
  EXPECT_FALSE(engine::sameTextIgnoringCase("\xEF\xBF\xBD", "\xFF"));
  // Characters beyond the Basic Multilingual Plane are one character each.
  EXPECT_TRUE(engine::sameTextIgnoringCase("\xF0\x9F\x98\x80 \xC3\x89T\xC3\x89", "\xF0\x9F\x98\x80 \xC3\xA9t\xC3\xA9"));
  EXPECT_FALSE(engine::sameTextIgnoringCase("\xF0\x9F\x98\x80", "\xC3\xB0\xC2\x9F\xC2\x98\xC2\x80"));
}

}  // namespace
