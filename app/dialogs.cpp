#include "app/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QTreeView>
#include <QLibraryInfo>
#include <QTranslator>
#include <QMessageBox>
#include <QStringList>
#include <algorithm>
#include <cstdio>

namespace {

QMessageBox::Icon box_icon(TBoxIcon icon)
{
    switch (icon) {
    case TBoxIcon::Information: return QMessageBox::Information;
    case TBoxIcon::Warning: return QMessageBox::Warning;
    case TBoxIcon::Error: return QMessageBox::Critical;
    case TBoxIcon::Question: return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

void to_stderr(const QString& caption, const QString& text, const char* answer)
{
    std::fprintf(stderr, "%s: %s [%s]\n", caption.toUtf8().constData(), text.toUtf8().constData(), answer);
    std::fflush(stderr);
}

} // namespace

bool TQtDialogs::no_display()
{
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

void TQtDialogs::message(QWidget* owner, const QString& text, const QString& caption, TBoxIcon icon)
{
    if (no_display()) {
        to_stderr(caption, text, "OK");
        return;
    }
    QMessageBox box(box_icon(icon), caption, text, QMessageBox::Ok, owner);
    box.exec();
}

bool TQtDialogs::ask_yes_no(QWidget* owner, const QString& text, const QString& caption, TBoxIcon icon)
{
    if (no_display()) {
        to_stderr(caption, text, "No");
        return false;
    }
    QMessageBox box(box_icon(icon), caption, text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::unique_ptr<QFileDialog> make_open_dialog(QWidget* owner, const TOpenFileRequest& request)
{
    auto dlg = std::make_unique<QFileDialog>(owner, request.title, request.initial_dir, qt_file_filter(request.filter));
    dlg->setFileMode(QFileDialog::ExistingFile);
    dlg->setAcceptMode(QFileDialog::AcceptOpen);
    QString suffix = request.default_ext;
    suffix.remove(QLatin1Char('*')).remove(QLatin1Char('.'));
    dlg->setDefaultSuffix(suffix);
    // Qt's own dialog: the Czech file types ("prostý textový dokument") are
    // long, so the size and type columns take what their texts need.
    if (auto* details = dlg->findChild<QTreeView*>(QStringLiteral("treeView"))) {
        details->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
        details->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
        dlg->resize(std::max(dlg->width(), 760), std::max(dlg->height(), 440));
    }
    return dlg;
}

std::optional<QString> TQtDialogs::open_file(QWidget* owner, const TOpenFileRequest& request)
{
    if (no_display())
        return std::nullopt;
    const std::unique_ptr<QFileDialog> dlg = make_open_dialog(owner, request);
    if (dlg->exec() != QDialog::Accepted || dlg->selectedFiles().isEmpty())
        return std::nullopt;
    return dlg->selectedFiles().constFirst();
}

QString qt_file_filter(const QString& pipe_filter)
{
    const QStringList parts = pipe_filter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        out << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out.join(QStringLiteral(";;"));
}

void show_error_box(TDialogs& dialogs, QWidget* owner, const QString& text)
{
    QString caption = QApplication::applicationDisplayName();
    if (caption.isEmpty())
        caption = QStringLiteral("Stravon");
    dialogs.message(owner, text, caption, TBoxIcon::Error);
}

bool install_qt_czech_translation()
{
    // Lives as long as the application.
    static QTranslator* czech = new QTranslator(QCoreApplication::instance());
    if (!czech->isEmpty())
        return true;
    if (!czech->load(QStringLiteral("qtbase_cs"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    return QCoreApplication::installTranslator(czech);
}
