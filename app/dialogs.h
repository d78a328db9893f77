// Message boxes and the file dialog behind one seam, so the window's logic
// can be driven without a person (tests answer through their own TDialogs).
#pragma once
#include <QString>
#include <memory>
#include <optional>
#include <stdexcept>

class QFileDialog;
class QWidget;

enum class TBoxIcon { Information, Warning, Error, Question };

struct TOpenFileRequest {
    QString title;
    QString filter;         // "Name|*.ext|Name|*.ext"
    QString default_ext;
    QString initial_dir;
};

class TDialogs {
public:
    virtual ~TDialogs() = default;
    // owner may be null: the box then belongs to no window.
    virtual void message(QWidget* owner, const QString& text, const QString& caption, TBoxIcon icon) = 0;
    virtual bool ask_yes_no(QWidget* owner, const QString& text, const QString& caption, TBoxIcon icon) = 0;
    virtual std::optional<QString> open_file(QWidget* owner, const TOpenFileRequest& request) = 0;
};

// QMessageBox and QFileDialog. Without a display (the offscreen platform)
// the text goes to standard error and each box takes its default answer at
// once: OK, No, and no file.
class TQtDialogs : public TDialogs {
public:
    void message(QWidget* owner, const QString& text, const QString& caption, TBoxIcon icon) override;
    bool ask_yes_no(QWidget* owner, const QString& text, const QString& caption, TBoxIcon icon) override;
    std::optional<QString> open_file(QWidget* owner, const TOpenFileRequest& request) override;

    static bool no_display();
};

// The file dialog that TQtDialogs::open_file runs, with room for its columns.
std::unique_ptr<QFileDialog> make_open_dialog(QWidget* owner, const TOpenFileRequest& request);

// Qt's own Czech texts (Ano/Ne, the file dialog), from Debian's
// qt6-translations-l10n; false when they are not installed.
bool install_qt_czech_translation();

// A failure that a handler reports with the application's standard error box.
class TAppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The filter "A|*.a|B|*.b" in the form QFileDialog takes: "A (*.a);;B (*.b)".
QString qt_file_filter(const QString& pipe_filter);

// The application's standard error box: the message under the program's title.
void show_error_box(TDialogs& dialogs, QWidget* owner, const QString& text);

// Runs a handler; an exception it throws is shown in the standard error box
// and the program runs on.
template <class Fn>
void run_guarded(TDialogs& dialogs, QWidget* owner, Fn&& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        show_error_box(dialogs, owner, QString::fromUtf8(e.what()));
    }
}
