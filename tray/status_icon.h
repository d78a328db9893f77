// TStatusIcon: the program's icon in the notification area.
#pragma once
#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QTimer;
class QWidget;

// The notification area the icon lives in. Qt picks its D-Bus tray
// (StatusNotifierItem) when a host is on the session bus as the icon is
// made, else the XEmbed tray of the X screen, and keeps that choice.
enum class TTrayKind { None, XEmbed, StatusNotifier };

class TStatusIcon : public QObject {
    Q_OBJECT
public:
    // The longest tool tip the notification area takes.
    static constexpr int MaxHintLength = 127;

    // owner: the main window shown and hidden by ShowApplication/HideApplication.
    explicit TStatusIcon(QWidget* owner);
    ~TStatusIcon() override;

    void setIconList(const QList<QPixmap>& list);
    void clearIconList();
    const QList<QPixmap>& IconList() const { return FIconList; }
    bool hasIconList() const { return FHasList; }

    int IconIndex() const { return FIconIndex; }
    void setIconIndex(int index);
    const QIcon& Icon() const { return FIcon; }
    void setIcon(const QIcon& icon);

    const QString& Hint() const { return FHint; }
    void setHint(const QString& hint);
    bool ShowHint() const { return FShowHint; }
    void setShowHint(bool show);
    // The tip as handed to the notification area: empty when hidden.
    QString effectiveToolTip() const;

    QMenu* PopupMenu() const { return FPopupMenu; }
    void setPopupMenu(QMenu* menu);

    bool Enabled() const { return FEnabled; }
    void setEnabled(bool enabled);
    bool IconVisible() const { return FIconVisible; }
    void setIconVisible(bool visible);
    bool LeftPopup() const { return FLeftPopup; }
    void setLeftPopup(bool on) { FLeftPopup = on; }
    bool StartMinimized() const { return FStartMinimized; }
    void setStartMinimized(bool on) { FStartMinimized = on; }

    // Runs once the owner's controls exist: puts the icon into the tray, or
    // into the first one that appears later.
    void Loaded();
    // Runs once the owner's start-up has ended: the main window stays hidden
    // when StartMinimized, unless there is no tray to bring it back from;
    // then it starts minimized so it stays reachable, and hides when a tray
    // appears while it is still minimized.
    void applyStartState();

    void ShowApplication();
    void HideApplication();

    void AddTrayIcon();
    void DeleteTrayIcon();
    void UpdateTrayIcon();

    // Mouse handling of the icon; public so tests can drive it.
    void handleActivation(QSystemTrayIcon::ActivationReason reason);
    // The first default item of the popup menu in menu order, if any.
    QAction* defaultItem() const;

    // Null until a tray exists: made earlier, Qt would never use a D-Bus tray.
    QSystemTrayIcon* trayIcon() const { return FTray; }
    TTrayKind trayKind() const { return FTrayKind; }
    // Whether the icon sits in a tray now, by our own watch of the hosts:
    // Qt's isSystemTrayAvailable() is decided once and goes stale.
    bool trayAvailable() const { return FTrayAvailable; }
    // Looks at the XEmbed tray now and asks the bus for a D-Bus host; that
    // answer comes later, as an event.
    void checkTrayHost();
    // What the watches found: a StatusNotifier host on the session bus, an
    // XEmbed tray on the X screen. Public so tests can stand in for them.
    void setTrayHosts(bool statusNotifier, bool xembed);

signals:
    void Click();
    void DblClick();
    void MiddleClick();

private slots:
    void statusNotifierChanged();

private:
    void watchTrayHosts();
    void ensureTray();
    void runDefaultItem();

    QPointer<QWidget> FOwner;
    QSystemTrayIcon* FTray = nullptr;
    TTrayKind FTrayKind = TTrayKind::None;
    QTimer* FWatchTimer = nullptr;
    bool FStatusNotifierHost = false;
    bool FXEmbedTray = false;
    // The start-up rule minimized the window because no tray was there.
    bool FHiddenByStart = false;
    QList<QPixmap> FIconList;
    bool FHasList = false;
    int FIconIndex = 0;
    QIcon FIcon;
    QString FHint;
    bool FShowHint = false;
    QPointer<QMenu> FPopupMenu;
    bool FEnabled = true;
    bool FIconVisible = true;
    bool FLeftPopup = false;
    bool FStartMinimized = false;
    bool FLoaded = false;
    bool FTrayAvailable = false;
    // Numbers the questions to the bus, so a late answer to an old one is dropped.
    int FHostQuestion = 0;
};
