// Shows the real window on a chosen tab, for looking at it on a display:
//   form_preview TAB   (0, 1 or 2)
// Message boxes are answered at once (OK, No) so nothing blocks.
#include "app/form1.h"
#include "ui_form1.h"

#include <QApplication>
#include <QTabWidget>
#include <cstdio>
#include <cstdlib>

namespace {
class AutoDialogs : public TDialogs {
public:
    void message(QWidget*, const QString& text, const QString&, TBoxIcon) override
    {
        std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    }
    bool ask_yes_no(QWidget*, const QString&, const QString&, TBoxIcon) override { return false; }
    std::optional<QString> open_file(QWidget*, const TOpenFileRequest&) override { return std::nullopt; }
};
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    AutoDialogs dialogs;
    TForm1 form(dialogs);
    form.ui().PageControl1->setCurrentIndex(argc > 1 ? std::atoi(argv[1]) : 0);
    form.move(10, 10);
    form.show();
    return app.exec();
}
