#include "indexer2.h"

#include <cstdio>

#include "app/clock.h"

TFrmindexer* Frmindexer = nullptr;

TFrmindexer::TFrmindexer(app::Form& form, YearSource currentYear)
    : form_(form), currentYear_(currentYear ? std::move(currentYear) : YearSource(app::currentLocalYear)) {}

std::string TFrmindexer::makerLine(int year) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", year);
    return std::string("Orvane \u00A9 ") + digits + " - Tous droits r\u00E9serv\u00E9s";
}

void TFrmindexer::FormCreate() {
    // The year is read once, here; the line keeps it for the life of the window.
    form_.setLabelText("Labelsignature", makerLine(currentYear_()));
}

void TFrmindexer::FormActivate() {
    // The start-up run goes here: it runs on the window's first activation only.
}

void TFrmindexer::Image2Click() { form_.close(); }
