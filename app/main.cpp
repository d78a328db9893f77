// Program entry: one copy per user, the window, the event loop.
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/realtimekit.h"
#include "app/signal_watch.h"
#include "diag/diag.h"
#include "platform/dispatch.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "serial/com_port.h"
#include "tray/status_icon.h"

#include <QApplication>
#include <QWidget>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

const char* const SecondCopy = "Tento program může být spuštěn pouze jednou!!!";

// Qt aborts when it cannot open the display; the exit status then still
// tells a second copy (-1) from a program that could not start (1).
int exit_status_without_display = 1;
// Qt's application object exists before its platform is up, so the handler
// cannot ask Qt whether the start got that far.
bool platform_up = false;

bool display_missing()
{
    const auto unset = [](const char* name) {
        const char* v = std::getenv(name);
        return v == nullptr || *v == '\0';
    };
    return unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY");
}

void say_no_display()
{
    std::fprintf(stderr, "stravon: %s; bez displeje jej spusťte s QT_QPA_PLATFORM=offscreen\n",
                 display_missing() ? "není k dispozici žádný displej (DISPLAY ani WAYLAND_DISPLAY)"
                                   : "displej nelze otevřít");
}

void on_qt_message(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    if (type == QtFatalMsg && !platform_up) {
        // The platform could not be started: say how to run without one.
        say_no_display();
        std::_Exit(exit_status_without_display);
    }
}

// The same program again, in the directory it served, in this process: what
// started it (the session, a terminal, a service manager) keeps it.
// Returns only when that failed.
void restart_program(char** argv)
{
    Log_error("Restart programu");
    if (::chdir(Work_dir.c_str()) != 0) {
        Log_error("Restart programu se nezdaril: pracovni adresar " + Work_dir + " (" + std::strerror(errno) + ")");
        return;
    }
    // Nothing of this run may reach the next one; stdin, stdout and stderr stay.
    ::close_range(3, ~0U, 0);
    ::execv("/proc/self/exe", argv);
    Log_error(std::string("Restart programu se nezdaril: ") + std::strerror(errno));
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(on_qt_message);
    platform::InstanceLock lock;
    if (!lock.acquire()) {
        if (lock.last_error() == EWOULDBLOCK) {
            exit_status_without_display = -1;
            if (display_missing()) {
                std::fprintf(stderr, "Varování: %s\n", SecondCopy);
                say_no_display();
                return -1;
            }
            QApplication app(argc, argv);
            platform_up = true;
            TQtDialogs dialogs;
            dialogs.message(nullptr, QString::fromUtf8(SecondCopy), QStringLiteral("Varování"), TBoxIcon::Error);
            return -1;
        }
        // Running unguarded could put two routers on one line.
        const std::string why = "Zamek jedine kopie programu " + lock.path() + " nelze ziskat: " +
                                std::strerror(lock.last_error());
        Read_work_dir();
        Log_error(why);
        return 1;
    }
    if (display_missing()) {
        say_no_display();
        return 1;
    }

    int rc = 0;
    bool restart = false;
    {
        QApplication app(argc, argv);
        platform_up = true;
        QApplication::setApplicationName(QStringLiteral("Stravon"));
        // Task lists find the menu entry, and its icon, by this name.
        QGuiApplication::setDesktopFileName(QStringLiteral("cz.stravon.Stravon"));
        QApplication::setQuitOnLastWindowClosed(false);
        // Ano/Ne, OK and the file dialog in Czech, as the rest of the window.
        install_qt_czech_translation();
        TQtDialogs dialogs;
        platform::set_message_dispatcher(&Process_window_events);
        // An ordinary user may raise the exchanges only through RealtimeKit.
        platform::set_priority_broker(&realtimekit_raise);
        try {
            TSignalWatch signals_;
            // A box waiting for a person must not hold the end up.
            QObject::connect(&signals_, &TSignalWatch::terminationRequested, &app, [] {
                if (QWidget* box = QApplication::activeModalWidget())
                    box->close();
            });
            TForm1 form(dialogs);
            QObject::connect(&form, &TForm1::Closed, &app, &QCoreApplication::quit);
            QObject::connect(&signals_, &TSignalWatch::terminationRequested, &form,
                             [&form](int) { form.Close_without_question(); });
            if (signals_.received())
                form.Close_without_question();
            if (!form.Router().Released()) {
                form.StatusIcon1()->applyStartState();
                rc = app.exec();
            }
            restart = form.Restart_pending() && form.Router().Released();
        } catch (const std::exception& e) {
            show_error_box(dialogs, nullptr, QString::fromUtf8(e.what()));
            rc = 0;
        }
        platform::set_message_dispatcher(nullptr);
    }
    close_all_ports();
    // The new copy must not find this one's lock.
    lock.release();
    if (restart) {
        restart_program(argv);
        return 1;
    }
    return rc;
}
