// TStatusIcon: the program's icon in the notification area.
#pragma once
#include <QIcon>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <QMenu>
class QAction;
class QTimer;
class QWidget;

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

    // Runs once the owner's controls exist: puts the icon into the tray.
    void Loaded();
    // Runs once the owner's start-up has ended: the main window stays hidden
    // when StartMinimized, unless there is no tray to bring it back from;
    // then it starts minimized so it stays reachable.
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

    QSystemTrayIcon* trayIcon() const { return FTray; }
    // Whether the tray host was available at the last check.
    bool trayAvailable() const { return FTrayAvailable; }
    // One step of the tray availability watch (the timer calls it).
    void checkTrayHost();

signals:
    void Click();
    void DblClick();
    void MiddleClick();

private:
    QPointer<QWidget> FOwner;
    QSystemTrayIcon* FTray = nullptr;
    QTimer* FWatchTimer = nullptr;
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
};
