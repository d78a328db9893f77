// The real router on a private X display and session bus, with the tray
// hosts of today's desktops: a StatusNotifierWatcher (KDE, GNOME's
// AppIndicator extension, XFCE) and an XEmbed tray (trayer).
#include "tests/gui/desktop.h"
#include "tests/integration/harness.h"
#include "tray/tray_pictures.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <cstdlib>

// fontconfig keeps a cache for the process's life; not ours to free.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n";
}

namespace {

using desktop::Router;
using desktop::WindowState;

// The window's title; the rest of it may carry the program's name.
constexpr const char* WindowTitle = "Stravon - komunikátor pro jídelny";

QGuiApplication& app()
{
    static int argc = 1;
    static char arg0[] = "tray_desktop_test";
    static char* argv[] = {arg0, nullptr};
    // The test's own pictures need no display; only the router gets one.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication* a = new QGuiApplication(argc, argv);
    return *a;
}

struct WithApp {
    WithApp() { app(); }
};

class TrayDesktop : public ::testing::Test, private WithApp {
protected:
    desktop::Desktop desk;
    desktop::TrayItems items{desk.bus()};

    WindowState window() { return desk.x().window_state(WindowTitle); }
    bool window_becomes(WindowState s, int timeout_ms = 15000)
    {
        return desktop::wait_until([&] { return window() == s; }, timeout_ms);
    }
    // With STRAVON_SHOTS set, the screen is kept there for a person to look at.
    void screenshot(const std::string& name)
    {
        if (const char* dir = std::getenv("STRAVON_SHOTS"))
            desk.run({"import", "-window", "root", std::string(dir) + "/" + name});
    }
};

QImage picture(int index) { return make_image_list().at(index).toImage().convertToFormat(QImage::Format_ARGB32); }

} // namespace

TEST_F(TrayDesktop, ItemRegistersWhenThePanelComesLateAndAgainAfterItRestarts)
{
    Router r(desk);
    ASSERT_TRUE(r.started()) << r.box.log() << r.router.output();
    // No tray at all: the window stays reachable.
    ASSERT_TRUE(window_becomes(WindowState::Minimized)) << desktop::to_string(window());
    EXPECT_TRUE(items.registered().empty());

    // The panel's watcher comes, and its host a moment later.
    desk.start_watcher(300);
    std::optional<desktop::Item> item = items.wait_for_item(15000);
    ASSERT_TRUE(item) << r.router.output();
    EXPECT_TRUE(window_becomes(WindowState::Hidden)) << "the start-up rule hides once there is a tray";
    EXPECT_EQ(items.status(*item), QStringLiteral("Active"));
    // The working directory in the tip's second line.
    EXPECT_EQ(items.tooltip_title(*item), QStringLiteral("Komunikátor PORCIO\n") + QString::fromStdString(r.box.work));
    EXPECT_EQ(items.icon_pixmap(*item), picture(PictureIdle)) << "idle: picture 0";
    // The exported menu has no default mark: the default item must come first.
    EXPECT_EQ(items.menu_labels(*item),
              QStringList({QStringLiteral("Zobrazit program"), QStringLiteral("Schovat program"),
                           QStringLiteral("-"), QStringLiteral("Konec")}));

    desk.stop_watcher();
    desk.start_watcher();
    item = items.wait_for_item(15000);
    ASSERT_TRUE(item) << "after a panel restart the item registers again\n" << r.router.output();
    EXPECT_EQ(items.icon_pixmap(*item), picture(PictureIdle));
    EXPECT_EQ(window(), WindowState::Hidden);
}

TEST_F(TrayDesktop, ActivateOnTheItemShowsTheWindow)
{
    desk.start_watcher();
    Router r(desk);
    ASSERT_TRUE(r.started()) << r.box.log() << r.router.output();
    std::optional<desktop::Item> item = items.wait_for_item(15000);
    ASSERT_TRUE(item) << r.router.output();
    EXPECT_EQ(window(), WindowState::Hidden);

    ASSERT_TRUE(items.activate(*item, 10, 10));
    EXPECT_TRUE(window_becomes(WindowState::Shown)) << desktop::to_string(window());
    // The caption as it stands, with nothing appended.
    EXPECT_EQ(desk.x().titles(WindowTitle),
              std::vector<std::string>{"Stravon - komunikátor pro jídelny (4 týdny)"});
}

TEST_F(TrayDesktop, ABusyRouterAnswersThePanelAndShowsItsBusyPicture)
{
    // A read command answered by 200 records: about 2.5 s on the wire.
    std::string block;
    for (int r = 0; r < 200; ++r)
        block += std::string(1, 'R') + std::string(23, '\0');
    desk.start_watcher();
    const std::string file = "/tmp/stravon-tray-block-" + std::to_string(getpid()) + ".bin";
    itest::write_file(file, block);
    struct Gone {
        std::string f;
        ~Gone() { std::remove(f.c_str()); }
    } gone{file};
    Router r(desk, {"--block", "1:Y:" + file});
    ASSERT_TRUE(r.started()) << r.box.log() << r.router.output();
    std::optional<desktop::Item> item = items.wait_for_item(15000);
    ASSERT_TRUE(item) << r.router.output();

    itest::Child porcio({itest::bin_dir() + "/stravon-porcio", "--dir", r.box.work, "--request", "pozad.txt",
                         "--output", "vystup.txt", "--timeout", "60", "--", "Y"},
                        r.box.env(), r.box.work);
    const auto samples = items.sample_icon(*item, [&] { return !porcio.running(); }, 25, 60000);
    EXPECT_EQ(porcio.wait(5000), 0) << porcio.output();
    ASSERT_FALSE(samples.empty());
    bool busy = false;
    std::chrono::milliseconds slowest{0};
    for (const auto& s : samples) {
        busy = busy || s.picture == picture(PictureBusy);
        slowest = std::max(slowest, s.answered_in);
        EXPECT_FALSE(s.picture.isNull()) << "no answer at " << s.at.count() << " ms";
    }
    EXPECT_TRUE(busy) << "the busy picture is shown during the request";
    EXPECT_EQ(items.icon_pixmap(*item), picture(PictureIdle)) << "and the idle one after";
    // A router that did not run its events during the read would keep the
    // first call waiting for all of its 2.5 s; a loaded machine may delay one.
    EXPECT_LT(slowest.count(), 1500) << "the panel's calls are answered during the read";
    EXPECT_GT(samples.size(), 50u) << "sampled through the whole read";
}

TEST_F(TrayDesktop, XEmbedIconDocksAndADoubleClickShowsTheWindow)
{
    desk.start_trayer();
    Router r(desk);
    ASSERT_TRUE(r.started()) << r.box.log() << r.router.output();
    uint32_t icon = 0;
    ASSERT_TRUE(desktop::wait_until([&] { return (icon = desk.x().docked_window("stravon")) != 0; }, 15000))
        << r.router.output();
    EXPECT_EQ(window(), WindowState::Hidden);
    screenshot("tray-xembed.png");

    // A loaded machine may space the clicks beyond the double-click time:
    // then they are two single clicks, which show nothing; click again.
    for (int attempt = 0; attempt < 3 && window() != WindowState::Shown; ++attempt) {
        ASSERT_EQ(desk.run({"xdotool", "mousemove", "--window", std::to_string(icon), "11", "11", "click",
                            "--repeat", "2", "--delay", "80", "1"}),
                  0);
        window_becomes(WindowState::Shown, 3000);
    }
    EXPECT_EQ(window(), WindowState::Shown);
}
