#include "tray/status_icon.h"
#include "tray/tray_pictures.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QSignalSpy>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

int argc_ = 1;
char arg0_[] = "tray_test";
char* argv_[] = {arg0_, nullptr};

QApplication& app()
{
    // These tests run without a display unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals are gone by the time statics end.
    static QApplication* a = new QApplication(argc_, argv_);
    return *a;
}

// The application object must exist before the fixture's widgets.
struct WithApp {
    WithApp() { app(); }
};

class StatusIconTest : public ::testing::Test, private WithApp {
protected:
    QWidget owner;
};

QImage image_of(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

} // namespace

TEST_F(StatusIconTest, IconIndexIsClampedToTheList)
{
    TStatusIcon icon(&owner);
    const QList<QPixmap> pics = make_image_list();
    ASSERT_EQ(pics.size(), 5);

    icon.setIconIndex(3);
    EXPECT_EQ(icon.IconIndex(), 0) << "without a list the index is 0";

    icon.setIconList(pics);
    icon.setIconIndex(1);
    EXPECT_EQ(icon.IconIndex(), 1);
    EXPECT_EQ(image_of(icon.Icon()), pics[1].toImage());

    icon.setIconIndex(5);
    EXPECT_EQ(icon.IconIndex(), 4);
    EXPECT_EQ(image_of(icon.Icon()), pics[4].toImage());
    icon.setIconIndex(1000);
    EXPECT_EQ(icon.IconIndex(), 4);

    icon.setIconIndex(2);
    icon.setIconList(pics.mid(0, 2));
    EXPECT_EQ(icon.IconIndex(), 0) << "a new list starts at its first picture";
    icon.setIconIndex(3);
    EXPECT_EQ(icon.IconIndex(), 1);

    icon.clearIconList();
    EXPECT_EQ(icon.IconIndex(), 0);
    icon.setIconIndex(2);
    EXPECT_EQ(icon.IconIndex(), 0);
}

TEST_F(StatusIconTest, PicturesAreDistinctAndNotEmpty)
{
    const QList<QPixmap> pics = make_image_list();
    for (int i = 0; i < pics.size(); ++i) {
        EXPECT_EQ(pics[i].size(), QSize(16, 16));
        const QImage img = pics[i].toImage();
        int opaque = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                opaque += qAlpha(img.pixel(x, y)) > 0;
        EXPECT_GT(opaque, 30) << "picture " << i << " is almost empty";
        for (int j = 0; j < i; ++j)
            EXPECT_NE(img, pics[j].toImage()) << i << " equals " << j;
    }
}

TEST_F(StatusIconTest, HintIsCutAndShownOnlyWhenWanted)
{
    TStatusIcon icon(&owner);
    icon.Loaded();
    icon.setTrayHosts(false, true);
    icon.setHint(QString(200, QChar(u'č')));
    EXPECT_EQ(icon.Hint().size(), 127);
    EXPECT_TRUE(icon.effectiveToolTip().isEmpty()) << "ShowHint is off";

    icon.setShowHint(true);
    EXPECT_EQ(icon.effectiveToolTip(), QString(127, QChar(u'č')));
    EXPECT_EQ(icon.trayIcon()->toolTip(), icon.effectiveToolTip());

    icon.setHint(QStringLiteral("Komunikátor PORCIO"));
    EXPECT_EQ(icon.trayIcon()->toolTip(), QStringLiteral("Komunikátor PORCIO"));
    icon.setShowHint(false);
    EXPECT_TRUE(icon.trayIcon()->toolTip().isEmpty());

    icon.setShowHint(true);
    icon.setHint(QString(127, QChar('x')));
    EXPECT_EQ(icon.Hint().size(), 127) << "a hint of exactly the limit stays whole";
}

TEST_F(StatusIconTest, DoubleClickRunsTheDefaultItemOnly)
{
    TStatusIcon icon(&owner);
    QMenu menu;
    QAction* show = menu.addAction(QStringLiteral("Zobrazit program"));
    QAction* hide = menu.addAction(QStringLiteral("Schovat program"));
    menu.addSeparator();
    QAction* quit = menu.addAction(QStringLiteral("Konec"));
    menu.setDefaultAction(show);
    icon.setPopupMenu(&menu);
    icon.Loaded();
    icon.setTrayHosts(false, true);
    ASSERT_EQ(icon.trayKind(), TTrayKind::XEmbed);

    QSignalSpy shown(show, &QAction::triggered), hidden(hide, &QAction::triggered),
        quitted(quit, &QAction::triggered), dbl(&icon, &TStatusIcon::DblClick),
        click(&icon, &TStatusIcon::Click);

    EXPECT_EQ(icon.trayIcon()->contextMenu(), &menu);
    icon.handleActivation(QSystemTrayIcon::Trigger);
    EXPECT_EQ(click.count(), 1);
    EXPECT_EQ(shown.count() + hidden.count() + quitted.count(), 0) << "a single click runs nothing";

    icon.handleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(dbl.count(), 1);
    EXPECT_EQ(shown.count(), 1);
    EXPECT_EQ(hidden.count() + quitted.count(), 0);

    icon.setEnabled(false);
    icon.handleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(shown.count(), 1) << "a disabled icon ignores the mouse";
    EXPECT_EQ(icon.trayIcon()->contextMenu(), nullptr);
    icon.setEnabled(true);

    menu.setDefaultAction(nullptr);
    icon.handleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(shown.count(), 1) << "no default item, nothing to run";

    menu.setDefaultAction(quit);
    icon.setLeftPopup(true);
    icon.handleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(quitted.count(), 0) << "with LeftPopup the double click runs no item";

    // A D-Bus panel passes its activate on as a single click, never a double one.
    menu.setDefaultAction(show);
    TStatusIcon item(&owner);
    item.setPopupMenu(&menu);
    item.Loaded();
    item.setTrayHosts(true, true);
    ASSERT_EQ(item.trayKind(), TTrayKind::StatusNotifier);
    item.handleActivation(QSystemTrayIcon::Trigger);
    EXPECT_EQ(shown.count(), 2) << "activate on a D-Bus tray runs the default item";
    EXPECT_EQ(hidden.count() + quitted.count(), 0);
}

TEST_F(StatusIconTest, LosingTheMenuClearsTheReference)
{
    TStatusIcon icon(&owner);
    auto* menu = new QMenu;
    menu->setDefaultAction(menu->addAction(QStringLiteral("Zobrazit program")));
    icon.setPopupMenu(menu);
    delete menu;
    EXPECT_EQ(icon.PopupMenu(), nullptr);
    icon.handleActivation(QSystemTrayIcon::DoubleClick);  // must not touch the freed menu
}

TEST_F(StatusIconTest, ShowAndHideApplication)
{
    TStatusIcon icon(&owner);
    icon.ShowApplication();
    EXPECT_TRUE(owner.isVisible());
    EXPECT_FALSE(owner.isMinimized());
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "offscreen has no tray";
    icon.HideApplication();
    // With no icon to bring it back, hiding only minimizes.
    EXPECT_TRUE(owner.isVisible());
    EXPECT_TRUE(owner.isMinimized());
    EXPECT_TRUE(icon.IconVisible()) << "the icon stays while the window is hidden";
}

TEST_F(StatusIconTest, WithoutTrayTheWindowStartsMinimized)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "offscreen has no tray";
    TStatusIcon icon(&owner);
    icon.setStartMinimized(true);
    icon.Loaded();
    icon.applyStartState();
    EXPECT_TRUE(owner.isVisible());
    EXPECT_TRUE(owner.isMinimized());
    icon.checkTrayHost();
    EXPECT_FALSE(icon.trayAvailable());

    QWidget other;
    TStatusIcon plain(&other);
    plain.Loaded();
    plain.applyStartState();
    EXPECT_TRUE(other.isVisible());
    EXPECT_FALSE(other.isMinimized());
}

TEST_F(StatusIconTest, IconVisibleAddsAndDeletes)
{
    TStatusIcon icon(&owner);
    icon.setIconList(make_image_list());
    icon.Loaded();
    icon.setTrayHosts(false, true);
    EXPECT_TRUE(icon.IconVisible());
    icon.setIconVisible(false);
    EXPECT_FALSE(icon.IconVisible());
    EXPECT_FALSE(icon.trayIcon()->isVisible());
    icon.setIconVisible(true);
    EXPECT_TRUE(icon.IconVisible());
    EXPECT_EQ(image_of(icon.trayIcon()->icon()), make_image_list()[0].toImage());
}

TEST_F(StatusIconTest, TrayAppearingLaterTakesTheIconAndTheStartRule)
{
    const QList<QPixmap> pics = make_image_list();
    QMenu menu;
    menu.setDefaultAction(menu.addAction(QStringLiteral("Zobrazit program")));
    TStatusIcon icon(&owner);
    icon.setIconList(pics);
    icon.setHint(QStringLiteral("Komunikátor PORCIO"));
    icon.setShowHint(true);
    icon.setPopupMenu(&menu);
    icon.setStartMinimized(true);
    icon.Loaded();
    icon.applyStartState();
    EXPECT_EQ(icon.trayIcon(), nullptr) << "made before a tray exists, Qt would never use the D-Bus one";
    EXPECT_TRUE(owner.isVisible() && owner.isMinimized());
    icon.setIconIndex(1);

    icon.setTrayHosts(true, false);
    ASSERT_NE(icon.trayIcon(), nullptr);
    EXPECT_TRUE(icon.trayAvailable());
    EXPECT_TRUE(icon.trayIcon()->isVisible());
    EXPECT_EQ(image_of(icon.trayIcon()->icon()), pics[1].toImage()) << "the current picture, not the first";
    EXPECT_EQ(icon.trayIcon()->toolTip(), QStringLiteral("Komunikátor PORCIO"));
    EXPECT_EQ(icon.trayIcon()->contextMenu(), &menu);
    EXPECT_FALSE(owner.isVisible()) << "the start-up rule hides the window once there is a tray";

    // A panel restart: the item stays the same and hiding minimizes meanwhile.
    QSystemTrayIcon* const item = icon.trayIcon();
    icon.setTrayHosts(false, true);
    EXPECT_FALSE(icon.trayAvailable()) << "Qt stays on the D-Bus tray it started on";
    icon.ShowApplication();
    icon.HideApplication();
    EXPECT_TRUE(owner.isVisible() && owner.isMinimized());
    icon.setTrayHosts(true, true);
    EXPECT_EQ(icon.trayIcon(), item);
    EXPECT_TRUE(owner.isVisible()) << "only the start-up rule hides when the tray comes";
    icon.HideApplication();
    EXPECT_FALSE(owner.isVisible());

    // Shown before the tray came, then minimized by the operator: it stays.
    QWidget other;
    TStatusIcon late(&other);
    late.setStartMinimized(true);
    late.Loaded();
    late.applyStartState();
    late.ShowApplication();
    other.showMinimized();
    late.setTrayHosts(false, true);
    EXPECT_EQ(late.trayKind(), TTrayKind::XEmbed);
    EXPECT_TRUE(other.isVisible());
}
