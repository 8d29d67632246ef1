#include "indexer2.h"

#include <gtest/gtest.h>

#include <map>

#include "app/errors.h"

namespace {

class FakeForm : public app::Form {
public:
    std::map<std::string, std::string, std::less<>> texts{{"Labelsignature", ""}, {"Labelinfos", "Reindexation en cours"}};
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

TEST(Frmindexer, FormCreateWritesTheMakerLineWithTheYearTakenOnce) {
    FakeForm form;
    int reads = 0;
    TFrmindexer frm(form, [&] {
        ++reads;
        return 2031;
    });
    frm.FormCreate();
    EXPECT_EQ(form.texts["Labelsignature"], "Orvane \u00A9 2031 - Tous droits r\u00E9serv\u00E9s");
    EXPECT_EQ(reads, 1);
    // Clicking or activating does not read the clock again.
    frm.FormActivate();
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(form.closes, 0);
}

TEST(Frmindexer, MakerLineAlwaysHasFourDigits) {
    EXPECT_EQ(TFrmindexer::makerLine(987), "Orvane \u00A9 0987 - Tous droits r\u00E9serv\u00E9s");
    EXPECT_EQ(TFrmindexer::makerLine(2026), "Orvane \u00A9 2026 - Tous droits r\u00E9serv\u00E9s");
}

TEST(Frmindexer, DefaultYearIsTheCurrentOne) {
    FakeForm form;
    TFrmindexer frm(form);
    frm.FormCreate();
    const std::string line = form.texts["Labelsignature"];
    const int year = std::stoi(line.substr(std::string("Orvane \u00A9 ").size(), 4));
    EXPECT_GE(year, 2024);
    EXPECT_LE(year, 9999);
}

TEST(Frmindexer, PictureClickClosesTheWindowWithoutAsking) {
    FakeForm form;
    TFrmindexer frm(form, [] { return 2026; });
    frm.Image2Click();
    EXPECT_EQ(form.closes, 1);
    EXPECT_EQ(form.repaints, 0);
}

}  // namespace
