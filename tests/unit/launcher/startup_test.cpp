// The start-up run of the splash window: what reaches the screen and in which order,
// the hand-off to the main application, and how failures stop it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "app/errors.h"
#include "engine/engine_error.h"
#include "policy/run_plan.h"
#include "fakes.h"
#include "indexer2.h"
#include "support/throws.h"

namespace {

using ::testing::StrEq;
using ::testing::Throws;
using testsupport::CodeAndText;

// A window that records what each synchronous repaint would have shown.
class RecordingForm : public app::Form {
 public:
  struct Paint {
    std::map<std::string, std::string, std::less<>> texts;
    bool buttonFace;
    std::string cwd;
    size_t rebuilt;
  };

  RecordingForm(fake::System& system, fake::Engine& engine) : system_(system), engine_(engine) {}

  std::map<std::string, std::string, std::less<>> texts{
      {"Labelinfos2", std::string(51, '-')}, {"Labelinfos", "Reindexation en cours"}, {"Labelsignature", ""}};
  bool buttonFace = false;
  std::vector<Paint> paints;
  int closes = 0;
  size_t shellRequestsAtClose = 0;

  void repaintNow() override { paints.push_back({texts, buttonFace, system_.cwd, engine_.regenerated.size()}); }
  void setLabelText(std::string_view label, std::string_view text) override {
    auto it = texts.find(label);
    if (it == texts.end()) throw app::Error("unknown label");
    it->second = std::string(text);
  }
  std::string labelText(std::string_view label) const override { return texts.find(label)->second; }
  void setLabelButtonFaceBackground(std::string_view label) override {
    ASSERT_EQ(label, "Labelinfos2");
    buttonFace = true;
  }
  void close() override {
    ++closes;
    shellRequestsAtClose = system_.shellRequests.size();
  }
  void* nativeHandle() const override { return reinterpret_cast<void*>(0x1234); }

 private:
  fake::System& system_;
  fake::Engine& engine_;
};

struct Launcher {
  fake::System system;
  fake::Engine fakeEngine;
  engine::Engine eng{system};
  RecordingForm form{system, fakeEngine};
  TFrmindexer frm{system, eng};

  Launcher() {
    system.cwd = "C:\\Users\\Client\\Bureau";
    system.year = 2018;
    system.installEngine("C:\\Orvane\\IDAPI32.DLL");
    frm.bindForm(form);
  }
};

TEST(StartupRun, ShowsTheStatusThenRebuildsEverythingThenStartsTheMainApplicationAndCloses) {
  Launcher l;
  l.system.files.insert("C:\\Orvane\\DATA\\factures\\2017\\Fact.DBF");
  l.frm.FormActivate();

  ASSERT_EQ(l.form.paints.size(), 2u);
  // First repaint: the initial texts, before anything else happened.
  const auto& first = l.form.paints[0];
  EXPECT_EQ(first.texts.at("Labelinfos"), "Reindexation en cours");
  EXPECT_EQ(first.texts.at("Labelinfos2"), std::string(51, '-'));
  EXPECT_FALSE(first.buttonFace);
  EXPECT_EQ(first.cwd, "C:\\Users\\Client\\Bureau");
  EXPECT_EQ(first.rebuilt, 0u);
  // Second repaint: the program folder is current and the new texts are up, before the run.
  const auto& second = l.form.paints[1];
  EXPECT_EQ(second.texts.at("Labelinfos"), "indexation en cours");
  EXPECT_EQ(second.texts.at("Labelinfos2"), "");
  EXPECT_TRUE(second.buttonFace);
  EXPECT_EQ(second.cwd, "C:\\Orvane\\");
  EXPECT_EQ(second.rebuilt, 0u);

  EXPECT_EQ(l.fakeEngine.regenerated.size(), policy::kTablesFixes.size() + 3);

  ASSERT_EQ(l.system.shellRequests.size(), 1u);
  const auto& request = l.system.shellRequests[0];
  EXPECT_EQ(request.owner, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(request.file, "Pelcrest.exe");
  EXPECT_EQ(request.parameters, "");
  EXPECT_EQ(request.directory, "");
  EXPECT_EQ(request.show, 10);
  EXPECT_EQ(request.cwd, "C:\\Orvane\\");

  EXPECT_EQ(l.form.closes, 1);
  EXPECT_EQ(l.form.shellRequestsAtClose, 1u);
}

TEST(StartupRun, AFailedDirectoryChangeStopsBeforeAnyTextChangesOrTableIsTouched) {
  Launcher l;
  l.system.setCurrentDirectoryError = 3;
  EXPECT_THAT([&] { l.frm.FormActivate(); },
              Throws<app::InOutError>(CodeAndText(3u, StrEq("Nom de fichier incorrect - C:\\Orvane\\"))));
  ASSERT_EQ(l.form.paints.size(), 1u);
  EXPECT_EQ(l.form.texts.at("Labelinfos"), "Reindexation en cours");
  EXPECT_EQ(l.form.texts.at("Labelinfos2"), std::string(51, '-'));
  EXPECT_TRUE(l.fakeEngine.calls.empty());
  EXPECT_TRUE(l.system.shellRequests.empty());
  EXPECT_EQ(l.form.closes, 0);
}

TEST(StartupRun, AnEngineErrorLeavesTheWindowOpenWithTheStatusShownAndStartsNothing) {
  Launcher l;
  l.fakeEngine.openResults["C:\\Orvane\\DATA\\CLIENT.DBF"] = DBIERR_NOSUCHFILE;
  EXPECT_THROW(l.frm.FormActivate(), engine::EngineError);
  EXPECT_EQ(l.fakeEngine.regenerated.size(), 2u);
  EXPECT_EQ(l.form.texts.at("Labelinfos"), "indexation en cours");
  EXPECT_EQ(l.form.texts.at("Labelinfos2"), "");
  EXPECT_TRUE(l.system.shellRequests.empty());
  EXPECT_EQ(l.form.closes, 0);
}

TEST(InOutErrorTexts, ProgramOwnFrenchTextsAndTheGenericOneWithTheCodeInDecimal) {
  EXPECT_EQ(app::InOutError::message(2, "C:\\X\\"), "Impossible de trouver le fichier sp\u00E9cifi\u00E9");
  EXPECT_EQ(app::InOutError::message(4, "C:\\X\\"), "Trop de fichiers ouverts");
  EXPECT_EQ(app::InOutError::message(5, "C:\\X\\"), "Acc\u00E8s au fichier refus\u00E9");
  EXPECT_EQ(app::InOutError::message(3, "D:\\Programme \u00E9t\u00E9\\"),
            "Nom de fichier incorrect - D:\\Programme \u00E9t\u00E9\\");
  EXPECT_EQ(app::InOutError::message(1392, ""), "Erreur E/S 1392");
  EXPECT_EQ(app::InOutError::message(0xFFFFFFFFu, ""), "Erreur E/S 4294967295");
}

}  // namespace
