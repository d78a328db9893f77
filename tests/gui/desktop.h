// A private desktop for tests that need a real display or a tray host: an
// Xvfb server, a session bus of its own, and the tray hosts a panel would
// bring (a StatusNotifierWatcher stand-in on the bus, trayer for XEmbed).
// Everything is started here and ended with the test; nothing of the
// machine's own display or bus is used.
#pragma once
#include "tests/integration/harness.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

// Polls `done` every few milliseconds until it holds or `timeout_ms` passed.
bool wait_until(const std::function<bool()>& done, int timeout_ms);

// ---------------------------------------------------------------- X side

enum class WindowState { Hidden, Minimized, Shown };
const char* to_string(WindowState s);

class XScreen {
public:
    explicit XScreen(const std::string& display);
    ~XScreen();
    XScreen(const XScreen&) = delete;
    XScreen& operator=(const XScreen&) = delete;

    // A top-level window whose title contains `title_part`: hidden when it
    // is not mapped or does not exist; minimized when mapped with the iconic
    // start hint (without a window manager a minimized window stays mapped).
    WindowState window_state(const std::string& title_part);
    // The whole titles of the viewable top-level windows whose title contains title_part.
    std::vector<std::string> titles(const std::string& title_part);
    // A window of the program (WM_CLASS instance) that a tray took in: it
    // sits inside another window and is viewable. 0 when there is none.
    uint32_t docked_window(const std::string& wm_instance);
    // Whether some client owns the selection, e.g. _NET_SYSTEM_TRAY_S0.
    bool selection_owned(const std::string& selection);
    // The program's own window whose title contains title_part, mapped or
    // not, wherever a window manager put it; 0 when there is none.
    uint32_t client_window(const std::string& title_part);
    // A property of 32-bit values (CARDINAL, ATOM ...), whole; empty when unset.
    std::vector<uint32_t> values(uint32_t window, const std::string& property);
    // The names of the atoms a property lists, e.g. _NET_WM_ALLOWED_ACTIONS.
    std::vector<std::string> atom_names(uint32_t window, const std::string& property);
    bool exists(uint32_t window);
    // Whether a window manager runs (it names its check window on the root).
    bool window_manager_running();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// ---------------------------------------------------------------- the desktop

class Desktop {
public:
    Desktop();   // Xvfb on a free display and a session bus; throws when either fails
    ~Desktop();

    const std::string& display() const { return display_; }     // ":N"
    const std::string& bus_address() const { return bus_; }
    // `base` (a sandbox's environment) moved onto this display and bus.
    std::vector<std::string> env(std::vector<std::string> base) const;
    // A connection of the test itself to the private bus.
    QDBusConnection bus() const;

    // The StatusNotifierWatcher stand-in; returns once it owns its name.
    // host_after_ms: the panel registers as host that much later.
    void start_watcher(int host_after_ms = 0);
    // Ends the stand-in, as a panel that goes down; returns once its name is gone.
    void stop_watcher();
    // An XEmbed tray at the top left corner of the screen; returns once it
    // owns the tray selection.
    void start_trayer();
    // openbox as the window manager; returns once it manages the screen.
    void start_window_manager();

    // A program with this desktop's display, e.g. xdotool or import; its
    // exit status.
    int run(const std::vector<std::string>& argv, std::string* output = nullptr) const;

    XScreen& x() { return *x_; }

private:
    std::vector<std::string> own_env() const;

    std::string root_;
    std::string display_;
    std::string bus_;
    std::string bus_name_;
    itest::Child xvfb_;
    itest::Child dbus_;
    itest::Child watcher_;
    itest::Child trayer_;
    itest::Child wm_;
    std::unique_ptr<XScreen> x_;
};

// ---------------------------------------------------------------- the router

// The router with one simulated terminal on COM1, so a port opens and the
// start-up rule applies (without one, a warning box would wait for a person).
struct Router {
    itest::Sandbox box;
    itest::Child sim;
    itest::Child router;

    explicit Router(const Desktop& desk, const std::vector<std::string>& sim_args = {});
    ~Router();
    // The line-up has run: the window's start-up is over.
    bool started() const { return itest::wait_for_log(box, "TERM ", 30000); }
};

// ---------------------------------------------------------------- D-Bus side

// A StatusNotifierItem as the watcher knows it.
struct Item {
    QString service;
    QString path;
};

class TrayItems {
public:
    explicit TrayItems(QDBusConnection bus) : bus_(std::move(bus)) {}

    // RegisteredStatusNotifierItems of the watcher; empty without one.
    std::vector<Item> registered();
    // The first registered item, once there is one.
    std::optional<Item> wait_for_item(int timeout_ms);

    // A property of the item; invalid when it does not answer in time.
    QVariant property(const Item& item, const QString& name, int timeout_ms = 5000);
    QString status(const Item& item) { return property(item, QStringLiteral("Status")).toString(); }
    // The title of the item's ToolTip (icon name, pictures, title, text).
    QString tooltip_title(const Item& item);
    // The object path of the item's exported menu.
    QString menu_path(const Item& item);
    // The labels of the exported menu's top level, in order.
    QStringList menu_labels(const Item& item);
    // The exported picture of that size (ARGB32); null when missing.
    QImage icon_pixmap(const Item& item, int size = 16);

    // What a panel sends on a left click; true when the item answered.
    bool activate(const Item& item, int x = 0, int y = 0);

    // How long the item takes to answer a property read; nullopt when it
    // does not answer within timeout_ms.
    std::optional<std::chrono::milliseconds> call_time(const Item& item, int timeout_ms = 5000);

    // IconPixmap read again and again, every period_ms until `done` holds or
    // max_ms passed: when each read was sent (from the start), how long its
    // answer took, and the picture (null when there was no answer).
    struct IconSample {
        std::chrono::milliseconds at;
        std::chrono::milliseconds answered_in;
        QImage picture;
    };
    std::vector<IconSample> sample_icon(const Item& item, const std::function<bool()>& done, int period_ms,
                                        int max_ms);

private:
    QDBusConnection bus_;
};

} // namespace desktop
