#include "tray/status_icon.h"

#include <QAction>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMenu>
#include <QTimer>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// How often the trays are looked for; they may appear or restart later.
constexpr int TrayWatchMs = 2000;
// A watcher that does not answer this fast is taken as no host for now.
constexpr int HostQueryMs = 1000;

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");

// The same test Qt makes before it uses its D-Bus tray: the watcher is on
// the bus and says that a host (a panel) has registered with it. Asked
// without waiting: the answer comes as an event, never inside a serial wait.
QDBusPendingCall ask_status_notifier_host(QDBusConnection& bus)
{
    QDBusMessage get = QDBusMessage::createMethodCall(WatcherService, WatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << WatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    // No watcher on the bus: an error at once, no start of one.
    get.setAutoStartService(false);
    return bus.asyncCall(get, HostQueryMs);
}

bool host_registered(const QDBusMessage& reply)
{
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

// An XEmbed tray owns the selection _NET_SYSTEM_TRAY_S<screen>.
bool xembed_tray_present()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c)
        return false;
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen))
        std::free(host);
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, static_cast<uint16_t>(name.size()), name.c_str()), nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr), &std::free);
    return owner && owner->owner != XCB_NONE;
}

} // namespace

TStatusIcon::TStatusIcon(QWidget* owner)
    : QObject(owner), FOwner(owner)
{
    FWatchTimer = new QTimer(this);
    FWatchTimer->setInterval(TrayWatchMs);
    connect(FWatchTimer, &QTimer::timeout, this, [this] {
        // The bus's signals tell when a host comes; asking again until there
        // is an icon covers a watcher that was slow to answer.
        if (!FTray)
            checkTrayHost();
        else
            setTrayHosts(FStatusNotifierHost, xembed_tray_present());
    });
}

TStatusIcon::~TStatusIcon()
{
    if (FTray)
        FTray->hide();
}

void TStatusIcon::setIconList(const QList<QPixmap>& list)
{
    FIconList = list;
    FHasList = true;
    setIconIndex(0);
}

void TStatusIcon::clearIconList()
{
    FIconList.clear();
    FHasList = false;
    setIconIndex(0);
}

void TStatusIcon::setIconIndex(int index)
{
    if (!FHasList) {
        FIconIndex = 0;
        return;
    }
    if (index >= FIconList.size())
        index = static_cast<int>(FIconList.size()) - 1;
    FIconIndex = index;
    if (index >= 0 && index < FIconList.size())
        FIcon = QIcon(FIconList.at(index));
    UpdateTrayIcon();
}

void TStatusIcon::setIcon(const QIcon& icon)
{
    FIcon = icon;
    UpdateTrayIcon();
}

void TStatusIcon::setHint(const QString& hint)
{
    FHint = hint.left(MaxHintLength);
    UpdateTrayIcon();
}

void TStatusIcon::setShowHint(bool show)
{
    FShowHint = show;
    UpdateTrayIcon();
}

QString TStatusIcon::effectiveToolTip() const
{
    return (FShowHint && !FHint.isEmpty()) ? FHint : QString();
}

void TStatusIcon::setPopupMenu(QMenu* menu)
{
    FPopupMenu = menu;
    if (FTray)
        FTray->setContextMenu(FEnabled ? menu : nullptr);
}

void TStatusIcon::setEnabled(bool enabled)
{
    FEnabled = enabled;
    if (FTray)
        FTray->setContextMenu(enabled ? FPopupMenu.data() : nullptr);
}

void TStatusIcon::setIconVisible(bool visible)
{
    if (visible)
        AddTrayIcon();
    else
        DeleteTrayIcon();
}

void TStatusIcon::Loaded()
{
    if (FLoaded)
        return;
    FLoaded = true;
    watchTrayHosts();
    checkTrayHost();
}

void TStatusIcon::applyStartState()
{
    if (!FOwner || FOwner->isVisible())
        return;
    if (!FStartMinimized) {
        FOwner->show();
    } else if (!FTrayAvailable) {
        FOwner->showMinimized();
        FHiddenByStart = true;
    }
}

void TStatusIcon::AddTrayIcon()
{
    FIconVisible = true;
    ensureTray();
    if (!FTray)
        return;
    UpdateTrayIcon();
    FTray->show();
}

void TStatusIcon::DeleteTrayIcon()
{
    FIconVisible = false;
    if (FTray)
        FTray->hide();
}

void TStatusIcon::UpdateTrayIcon()
{
    // Before there is a tray the update has no effect; the icon takes the
    // current picture and tip when it is made.
    if (!FTray)
        return;
    FTray->setIcon(FIcon);
    FTray->setToolTip(effectiveToolTip());
}

void TStatusIcon::ShowApplication()
{
    if (!FOwner)
        return;
    FHiddenByStart = false;
    FOwner->showNormal();
    FOwner->raise();
    FOwner->activateWindow();
}

void TStatusIcon::HideApplication()
{
    if (!FOwner)
        return;
    // Without a notification area a hidden window could never be brought back.
    if (FTrayAvailable)
        FOwner->hide();
    else
        FOwner->showMinimized();
}

QAction* TStatusIcon::defaultItem() const
{
    if (!FPopupMenu)
        return nullptr;
    QAction* def = FPopupMenu->defaultAction();
    if (!def)
        return nullptr;
    // Only an item that is actually in the menu may run.
    for (QAction* a : FPopupMenu->actions())
        if (a == def)
            return a;
    return nullptr;
}

void TStatusIcon::runDefaultItem()
{
    if (QAction* a = defaultItem(); a && a->isEnabled())
        a->trigger();
}

void TStatusIcon::handleActivation(QSystemTrayIcon::ActivationReason reason)
{
    if (!FEnabled)
        return;
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        emit Click();
        if (FLeftPopup && FPopupMenu)
            FPopupMenu->popup(QCursor::pos());
        // A D-Bus panel's activate is the only click it passes on, never a
        // double click: there it has to run the default item.
        else if (FTrayKind == TTrayKind::StatusNotifier)
            runDefaultItem();
        break;
    case QSystemTrayIcon::DoubleClick:
        emit DblClick();
        if (!FLeftPopup)
            runDefaultItem();
        break;
    case QSystemTrayIcon::MiddleClick:
        emit MiddleClick();
        break;
    case QSystemTrayIcon::Context:  // the context menu opens by itself
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void TStatusIcon::watchTrayHosts()
{
    FWatchTimer->start();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto* watch = new QDBusServiceWatcher(
        WatcherService, bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
        this);
    connect(watch, &QDBusServiceWatcher::serviceRegistered, this, &TStatusIcon::statusNotifierChanged);
    connect(watch, &QDBusServiceWatcher::serviceUnregistered, this, &TStatusIcon::statusNotifierChanged);
    // A panel may register as host only after its watcher took the name.
    for (const char* name : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        bus.connect(WatcherService, WatcherPath, WatcherService, QString::fromLatin1(name), this,
                    SLOT(statusNotifierChanged()));
}

void TStatusIcon::statusNotifierChanged()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        setTrayHosts(false, FXEmbedTray);
        return;
    }
    // Only the newest question counts: answers may come in any order.
    const int asked = ++FHostQuestion;
    auto* call = new QDBusPendingCallWatcher(ask_status_notifier_host(bus), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, asked](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (asked == FHostQuestion)
            setTrayHosts(host_registered(w->reply()), FXEmbedTray);
    });
}

void TStatusIcon::checkTrayHost()
{
    FXEmbedTray = xembed_tray_present();
    setTrayHosts(FStatusNotifierHost, FXEmbedTray);
    statusNotifierChanged();
}

void TStatusIcon::ensureTray()
{
    if (FTray || !FLoaded || !FIconVisible)
        return;
    if (FStatusNotifierHost)
        FTrayKind = TTrayKind::StatusNotifier;
    else if (FXEmbedTray)
        FTrayKind = TTrayKind::XEmbed;
    else
        return;
    FTray = new QSystemTrayIcon(this);
    connect(FTray, &QSystemTrayIcon::activated, this, &TStatusIcon::handleActivation);
    FTray->setContextMenu(FEnabled ? FPopupMenu.data() : nullptr);
    UpdateTrayIcon();
    FTray->show();
}

void TStatusIcon::setTrayHosts(bool statusNotifier, bool xembed)
{
    FStatusNotifierHost = statusNotifier;
    FXEmbedTray = xembed;
    ensureTray();
    const bool was = FTrayAvailable;
    // Qt stays with the tray it started on; a D-Bus item comes back by
    // itself after a panel restart, an XEmbed icon docks again by itself.
    FTrayAvailable = (FTrayKind == TTrayKind::StatusNotifier && statusNotifier) ||
                     (FTrayKind == TTrayKind::XEmbed && xembed);
    if (FTrayAvailable && !was) {
        // The start-up rule would have hidden the window: do it now, unless
        // someone brought the window up meanwhile.
        if (FHiddenByStart && FOwner && FOwner->isVisible() && FOwner->isMinimized())
            FOwner->hide();
        FHiddenByStart = false;
    }
}
