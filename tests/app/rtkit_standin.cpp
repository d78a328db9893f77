// stravon-rtkit-standin: a stand-in for RealtimeKit on a private bus. It
// gives a thread the nice value asked for, as the real service does for an
// ordinary user's thread. Prints "ready" once its name is owned.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QObject>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

class RealtimeKit : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
public slots:
    void MakeThreadHighPriority(qulonglong thread, int priority)
    {
        if (::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), priority) != 0)
            sendErrorReply(QDBusError::AccessDenied, QString::fromLocal8Bit(std::strerror(errno)));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    RealtimeKit kit;
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/RealtimeKit1"), &kit, QDBusConnection::ExportAllSlots) ||
        !bus.registerService(QStringLiteral("org.freedesktop.RealtimeKit1"))) {
        std::fprintf(stderr, "stravon-rtkit-standin: cannot own the name\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "rtkit_standin.moc"
