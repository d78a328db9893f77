// stravon-sni-watcher: a stand-in for a panel's StatusNotifierWatcher on the
// session bus. It takes the items' registrations as a real watcher does and
// says that a host (the panel) is there. Ending the process and starting it
// again is a panel restart.
//
//   stravon-sni-watcher [--host-after MS]
//
// --host-after: the host registers MS after the watcher took its name, as a
// panel that comes up after its watcher service. Prints "ready" once the
// name is owned.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QStringList>
#include <QTimer>
#include <cstdio>

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString DefaultItemPath = QStringLiteral("/StatusNotifierItem");

class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
public:
    explicit Watcher(const QDBusConnection& bus)
        : owners_(QString(), bus, QDBusServiceWatcher::WatchForUnregistration)
    {
        connect(&owners_, &QDBusServiceWatcher::serviceUnregistered, this, &Watcher::ownerGone);
    }

    QStringList RegisteredStatusNotifierItems() const { return items_; }
    bool IsStatusNotifierHostRegistered() const { return host_; }
    int ProtocolVersion() const { return 0; }

    void registerHost()
    {
        host_ = true;
        emit StatusNotifierHostRegistered();
    }

public slots:
    void RegisterStatusNotifierItem(const QString& serviceOrPath)
    {
        // An item names either its bus name or, on the caller's own name, its path.
        QString service = serviceOrPath;
        QString path = DefaultItemPath;
        if (serviceOrPath.startsWith(QLatin1Char('/'))) {
            service = message().service();
            path = serviceOrPath;
        }
        const QString id = service + path;
        if (items_.contains(id))
            return;
        items_.append(id);
        owners_.addWatchedService(service);
        std::printf("registered %s\n", qPrintable(id));
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(id);
    }
    void RegisterStatusNotifierHost(const QString&) { registerHost(); }

signals:
    void StatusNotifierItemRegistered(const QString& id);
    void StatusNotifierItemUnregistered(const QString& id);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void ownerGone(const QString& service)
    {
        for (qsizetype i = items_.size() - 1; i >= 0; --i) {
            const QString id = items_.at(i);
            if (id.startsWith(service + QLatin1Char('/'))) {
                items_.removeAt(i);
                emit StatusNotifierItemUnregistered(id);
            }
        }
        owners_.removeWatchedService(service);
    }

    QDBusServiceWatcher owners_;
    QStringList items_;
    bool host_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int host_after = 0;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--host-after") && i + 1 < args.size()) {
            host_after = args.at(++i).toInt();
        } else {
            std::fprintf(stderr, "usage: stravon-sni-watcher [--host-after MS]\n");
            return 2;
        }
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    Watcher watcher(bus);
    if (host_after <= 0)
        watcher.registerHost();
    // The object first: whoever sees the name appear may read it at once.
    bus.registerObject(WatcherPath, &watcher,
                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                           QDBusConnection::ExportAllProperties);
    if (!bus.registerService(WatcherService)) {
        std::fprintf(stderr, "cannot own %s\n", qPrintable(WatcherService));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (host_after > 0)
        QTimer::singleShot(host_after, &watcher, [&watcher] { watcher.registerHost(); });
    return app.exec();
}

#include "sni_watcher.moc"
