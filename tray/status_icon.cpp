#include "tray/status_icon.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QTimer>
#include <QWidget>

namespace {
// How often the tray host is looked for; it may appear or restart later.
constexpr int TrayWatchMs = 2000;
}

TStatusIcon::TStatusIcon(QWidget* owner)
    : QObject(owner), FOwner(owner)
{
    FTray = new QSystemTrayIcon(this);
    connect(FTray, &QSystemTrayIcon::activated, this, &TStatusIcon::handleActivation);
    FWatchTimer = new QTimer(this);
    FWatchTimer->setInterval(TrayWatchMs);
    connect(FWatchTimer, &QTimer::timeout, this, &TStatusIcon::checkTrayHost);
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
    FTray->setContextMenu(FEnabled ? menu : nullptr);
}

void TStatusIcon::setEnabled(bool enabled)
{
    FEnabled = enabled;
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
    FLoaded = true;
    UpdateTrayIcon();
    if (FIconVisible)
        AddTrayIcon();
    FTrayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    FWatchTimer->start();
}

void TStatusIcon::applyStartState()
{
    if (!FOwner || FOwner->isVisible())
        return;
    if (!FStartMinimized)
        FOwner->show();
    else if (!QSystemTrayIcon::isSystemTrayAvailable())
        FOwner->showMinimized();
}

void TStatusIcon::AddTrayIcon()
{
    FIconVisible = true;
    if (!FLoaded)
        return;
    UpdateTrayIcon();
    FTray->show();
}

void TStatusIcon::DeleteTrayIcon()
{
    FIconVisible = false;
    FTray->hide();
}

void TStatusIcon::UpdateTrayIcon()
{
    // Before loading the shell has no icon yet; the update has no effect.
    if (!FLoaded)
        return;
    FTray->setIcon(FIcon);
    FTray->setToolTip(effectiveToolTip());
}

void TStatusIcon::ShowApplication()
{
    if (!FOwner)
        return;
    FOwner->showNormal();
    FOwner->raise();
    FOwner->activateWindow();
}

void TStatusIcon::HideApplication()
{
    if (!FOwner)
        return;
    // Without a notification area a hidden window could never be brought back.
    if (QSystemTrayIcon::isSystemTrayAvailable())
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

void TStatusIcon::handleActivation(QSystemTrayIcon::ActivationReason reason)
{
    if (!FEnabled)
        return;
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        emit Click();
        if (FLeftPopup && FPopupMenu)
            FPopupMenu->popup(QCursor::pos());
        break;
    case QSystemTrayIcon::DoubleClick:
        emit DblClick();
        if (!FLeftPopup)
            if (QAction* a = defaultItem(); a && a->isEnabled())
                a->trigger();
        break;
    case QSystemTrayIcon::MiddleClick:
        emit MiddleClick();
        break;
    case QSystemTrayIcon::Context:  // the context menu opens by itself
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void TStatusIcon::checkTrayHost()
{
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available && !FTrayAvailable && FIconVisible && FLoaded) {
        // A tray host appeared or came back: register the icon anew there.
        FTray->hide();
        UpdateTrayIcon();
        FTray->show();
    }
    FTrayAvailable = available;
}
