// stravon-notification-service: a stand-in for the desktop's notification
// service (org.freedesktop.Notifications) on the session bus. It prints each
// Notify call as one line of tab-separated fields, with \\, \t and \n
// escaped:
//
//   notify <app> <icon> <summary> <body> <urgency> <desktop-entry>
//
//   stravon-notification-service [--no-reply]
//
// --no-reply: takes the call but never answers, as a hung service does.
// Prints "ready" once the name is owned.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>
#include <cstdio>

namespace {

QString escaped(QString s)
{
    s.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    s.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    s.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return s;
}

class Notifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit Notifications(bool reply) : reply_(reply) {}

public slots:
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("body-markup")}; }
    QString GetServerInformation(QString& vendor, QString& version, QString& spec_version)
    {
        vendor = QStringLiteral("Stravon tests");
        version = QStringLiteral("1.0");
        spec_version = QStringLiteral("1.2");
        return QStringLiteral("stravon-notification-service");
    }
    uint Notify(const QString& app_name, uint, const QString& app_icon, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int)
    {
        const QStringList fields = {QStringLiteral("notify"), app_name, app_icon, summary, body,
                                    QString::number(hints.value(QStringLiteral("urgency"), -1).toInt()),
                                    hints.value(QStringLiteral("desktop-entry")).toString()};
        QStringList shown;
        for (const QString& f : fields)
            shown.append(escaped(f));
        std::printf("%s\n", shown.join(QLatin1Char('\t')).toUtf8().constData());
        std::fflush(stdout);
        if (!reply_)
            setDelayedReply(true);
        return ++last_id_;
    }
    void CloseNotification(uint) {}

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString& action_key);

private:
    bool reply_;
    uint last_id_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool no_reply = args.size() == 2 && args.at(1) == QLatin1String("--no-reply");
    if (args.size() > 2 || (args.size() == 2 && !no_reply)) {
        std::fprintf(stderr, "usage: stravon-notification-service [--no-reply]\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    Notifications service(!no_reply);
    bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
    if (!bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fprintf(stderr, "cannot own org.freedesktop.Notifications\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "notification_service.moc"
