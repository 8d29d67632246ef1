#include "indexer2.h"

#include <gtest/gtest.h>

#include <map>

#include "app/errors.h"

namespace {

class FakeForm : public app::Form {
 public:
  std::map<std::string, std::string, std::less<>> texts{{"Labelsignature", ""},
                                                        {"Labelinfos", "Reindexation en cours"}};
  int repaints = 0;
  int closes = 0;

  void repaintNow() override { ++repaints; }
  void setLabelText(std::string_view label, std::string_view text) override {
    auto it = texts.find(label);
    if (it == texts.end()) throw app::Error("unknown label");
    it->second = std::string(text);
  }
  std::string labelText(std::string_view label) const override { return texts.find(label)->second; }
  void setLabelButtonFaceBackground(std::string_view) override {}
  void close() override { ++closes; }
  void* nativeHandle() const override { return nullptr; }
};

// Only the clock is asked for by the window's handlers.
class ClockOnlySystem final : public sys::System {
 public:
  int year = 2031;
  int yearReads = 0;

  int currentYear() override {
    ++yearReads;
    return year;
  }
  std::string programFolder() override { return "C:\\Orvane\\"; }
  std::string currentDirectory() override { return "C:\\Orvane"; }
  uint32_t setCurrentDirectory(const std::string&) override { return 0; }
  bool fileExists(const std::string&) override { return false; }
  sys::LoadResult loadLibrary(const std::string&) override { return {nullptr, sys::kErrorModNotFound}; }
  void freeLibrary(sys::LibraryHandle) override {}
  void* findSymbol(sys::LibraryHandle, const char*) override { return nullptr; }
  std::optional<std::string> machineRegistryString(const std::string&, const std::string&) override { return {}; }
  std::string utf8ToAnsi(const std::string& text) override { return text; }
  std::string ansiToUtf8(const std::string& text) override { return text; }
  std::string ansiToOem(const std::string& text) override { return text; }
  intptr_t shellOpen(sys::NativeWindow, const std::string&, const std::string&, const std::string&, int) override {
    return 42;
  }
  char separator() const override { return '\\'; }
};

struct Window {
  ClockOnlySystem system;
  engine::Engine engine{system};
  FakeForm form;
  TFrmindexer frm{system, engine};
  Window() { frm.bindForm(form); }
};

TEST(FrmindexerWindow, FormCreateWritesTheMakerLineWithTheYearTakenOnce) {
  Window w;
  w.frm.FormCreate();
  EXPECT_EQ(w.form.texts["Labelsignature"], "Orvane \u00A9 2031 - Tous droits r\u00E9serv\u00E9s");
  EXPECT_EQ(w.system.yearReads, 1);
  // Later events do not read the clock again, even when the year has changed.
  w.system.year = 2032;
  w.frm.Image2Click();
  EXPECT_EQ(w.system.yearReads, 1);
  EXPECT_EQ(w.form.texts["Labelsignature"], "Orvane \u00A9 2031 - Tous droits r\u00E9serv\u00E9s");
}

TEST(FrmindexerWindow, MakerLineAlwaysHasFourDigits) {
  EXPECT_EQ(TFrmindexer::makerLine(987), "Orvane \u00A9 0987 - Tous droits r\u00E9serv\u00E9s");
  EXPECT_EQ(TFrmindexer::makerLine(2026), "Orvane \u00A9 2026 - Tous droits r\u00E9serv\u00E9s");
}

TEST(FrmindexerWindow, PictureClickClosesTheWindowWithoutAsking) {
  Window w;
  w.frm.Image2Click();
  EXPECT_EQ(w.form.closes, 1);
  EXPECT_EQ(w.form.repaints, 0);
}

TEST(FrmindexerWindow, HandlersWithoutAWindowRaiseAnError) {
  ClockOnlySystem system;
  engine::Engine engine(system);
  TFrmindexer frm(system, engine);
  EXPECT_THROW(frm.FormCreate(), app::Error);
  EXPECT_THROW(frm.Image2Click(), app::Error);
}

}  // namespace
