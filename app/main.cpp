// Program entry: one copy per user, the window, the event loop.
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/signal_watch.h"
#include "platform/dispatch.h"
#include "platform/instance_lock.h"
#include "serial/com_port.h"
#include "tray/status_icon.h"

#include <QApplication>
#include <QWidget>
#include <QThread>
#include <cerrno>
#include <memory>

namespace {

// Serial waits on the window's thread keep the window alive through this.
void process_window_events()
{
    if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
        QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char** argv)
{
    platform::InstanceLock lock;
    if (!lock.acquire() && lock.last_error() == EWOULDBLOCK) {
        QApplication app(argc, argv);
        TQtDialogs dialogs;
        dialogs.message(nullptr, QStringLiteral("Tento program může být spuštěn pouze jednou!!!"),
                        QStringLiteral("Varování"), TBoxIcon::Error);
        return -1;
    }

    int rc = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Stravon"));
        QApplication::setApplicationDisplayName(QStringLiteral("Stravon"));
        QApplication::setQuitOnLastWindowClosed(false);
        TQtDialogs dialogs;
        platform::set_message_dispatcher(&process_window_events);
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
            if (!form.Released()) {
                form.StatusIcon1->applyStartState();
                rc = app.exec();
            }
        } catch (const std::exception& e) {
            show_error_box(dialogs, nullptr, QString::fromUtf8(e.what()));
            rc = 0;
        }
        platform::set_message_dispatcher(nullptr);
    }
    close_all_ports();
    lock.release();
    return rc;
}
