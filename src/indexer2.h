// The splash window TFrmindexer: its handlers and the program's work methods.
#pragma once

#include <functional>
#include <string>

#include "app/form.h"

class TFrmindexer : public app::FormEvents {
public:
    using YearSource = std::function<int()>;

    explicit TFrmindexer(app::Form& form, YearSource currentYear = {});

    void FormCreate() override;
    void FormActivate() override;
    void Image2Click() override;

    // The maker line for a year: "Orvane © YYYY - Tous droits réservés".
    static std::string makerLine(int year);

private:
    app::Form& form_;
    YearSource currentYear_;
};

// The application's main window.
extern TFrmindexer* Frmindexer;
