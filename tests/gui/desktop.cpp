#include "tests/gui/desktop.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QVariantMap>

#include <unistd.h>
#include <xcb/xcb.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace desktop {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds since(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
}

// execve takes no PATH: look the program up as a shell would.
std::string program(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    throw std::runtime_error(name + " is not installed (scripts/deps.sh installs it)");
}

// The first line of the child's output that `wanted` accepts, or "".
std::string read_until(itest::Child& c, const std::function<bool(const std::string&)>& wanted, int timeout_ms)
{
    const auto t0 = Clock::now();
    while (since(t0).count() < timeout_ms) {
        const std::string line = c.read_line(static_cast<int>(timeout_ms - since(t0).count()));
        if (wanted(line))
            return line;
        if (line.empty() && !c.running())
            break;
    }
    return {};
}

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString ItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");

// a(iiay): pictures as width, height and ARGB32 pixels in network byte order.
std::vector<QImage> read_pixmaps(const QDBusArgument& arg)
{
    std::vector<QImage> out;
    arg.beginArray();
    while (!arg.atEnd()) {
        int w = 0, h = 0;
        QByteArray bytes;
        arg.beginStructure();
        arg >> w >> h >> bytes;
        arg.endStructure();
        QImage img(w, h, QImage::Format_ARGB32);
        if (w > 0 && h > 0 && bytes.size() == qsizetype(w) * h * 4) {
            const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x, p += 4)
                    img.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));
        } else {
            img = QImage();
        }
        out.push_back(img);
    }
    arg.endArray();
    return out;
}

} // namespace

bool wait_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto t0 = Clock::now();
    for (;;) {
        if (done())
            return true;
        if (since(t0).count() >= timeout_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

const char* to_string(WindowState s)
{
    switch (s) {
    case WindowState::Hidden: return "hidden";
    case WindowState::Minimized: return "minimized";
    case WindowState::Shown: return "shown";
    }
    return "?";
}

// ---------------------------------------------------------------- X side

struct XScreen::Impl {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;

    template <typename R>
    using Reply = std::unique_ptr<R, decltype(&std::free)>;

    xcb_atom_t atom(const char* name)
    {
        Reply<xcb_intern_atom_reply_t> r(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr),
            &std::free);
        return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    }
    Reply<xcb_get_property_reply_t> prop(xcb_window_t w, xcb_atom_t name, xcb_atom_t type)
    {
        return {xcb_get_property_reply(c, xcb_get_property(c, 0, w, name, type, 0, 1024), nullptr), &std::free};
    }
    std::string text(xcb_window_t w, xcb_atom_t name, xcb_atom_t type)
    {
        auto r = prop(w, name, type);
        if (!r || r->format != 8)
            return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                           static_cast<size_t>(xcb_get_property_value_length(r.get())));
    }
    std::string title(xcb_window_t w)
    {
        std::string t = text(w, atom("_NET_WM_NAME"), atom("UTF8_STRING"));
        return t.empty() ? text(w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY) : t;
    }
    std::string instance(xcb_window_t w)
    {
        const std::string cls = text(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
        return cls.substr(0, cls.find('\0'));
    }
    bool viewable(xcb_window_t w)
    {
        Reply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr), &std::free);
        return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    }
    bool iconic(xcb_window_t w)
    {
        // WM_HINTS: flags, input, initial_state, ...; StateHint is bit 1, IconicState 3.
        auto r = prop(w, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS);
        if (!r || r->format != 32 || xcb_get_property_value_length(r.get()) < 12)
            return false;
        const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
        return (v[0] & 2u) && v[2] == 3;
    }
    std::vector<xcb_window_t> children(xcb_window_t w)
    {
        Reply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr), &std::free);
        if (!t)
            return {};
        const xcb_window_t* k = xcb_query_tree_children(t.get());
        return {k, k + xcb_query_tree_children_length(t.get())};
    }
};

XScreen::XScreen(const std::string& display) : d_(std::make_unique<Impl>())
{
    int screen = 0;
    d_->c = xcb_connect(display.c_str(), &screen);
    if (xcb_connection_has_error(d_->c))
        throw std::runtime_error("cannot connect to X display " + display);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(d_->c));
    for (int i = 0; i < screen; ++i)
        xcb_screen_next(&it);
    d_->root = it.data->root;
}

XScreen::~XScreen() { xcb_disconnect(d_->c); }

WindowState XScreen::window_state(const std::string& title_part)
{
    // Without a window manager the program's windows are the root's children.
    WindowState state = WindowState::Hidden;
    for (xcb_window_t w : d_->children(d_->root)) {
        if (d_->title(w).find(title_part) == std::string::npos || !d_->viewable(w))
            continue;
        state = d_->iconic(w) ? WindowState::Minimized : WindowState::Shown;
    }
    return state;
}

std::vector<std::string> XScreen::titles(const std::string& title_part)
{
    std::vector<std::string> out;
    for (xcb_window_t w : d_->children(d_->root))
        if (d_->viewable(w) && d_->title(w).find(title_part) != std::string::npos)
            out.push_back(d_->title(w));
    return out;
}

uint32_t XScreen::docked_window(const std::string& wm_instance)
{
    std::vector<xcb_window_t> todo = d_->children(d_->root);
    while (!todo.empty()) {
        const xcb_window_t parent = todo.back();
        todo.pop_back();
        for (xcb_window_t w : d_->children(parent)) {
            if (d_->instance(w) == wm_instance && d_->viewable(w))
                return w;
            todo.push_back(w);
        }
    }
    return 0;
}

bool XScreen::selection_owned(const std::string& selection)
{
    Impl::Reply<xcb_get_selection_owner_reply_t> r(
        xcb_get_selection_owner_reply(d_->c, xcb_get_selection_owner(d_->c, d_->atom(selection.c_str())), nullptr),
        &std::free);
    return r && r->owner != XCB_NONE;
}

uint32_t XScreen::client_window(const std::string& title_part)
{
    std::vector<xcb_window_t> todo = d_->children(d_->root);
    while (!todo.empty()) {
        const xcb_window_t w = todo.back();
        todo.pop_back();
        if (d_->title(w).find(title_part) != std::string::npos && !d_->instance(w).empty())
            return w;
        for (xcb_window_t k : d_->children(w))
            todo.push_back(k);
    }
    return 0;
}

std::vector<uint32_t> XScreen::values(uint32_t window, const std::string& property)
{
    Impl::Reply<xcb_get_property_reply_t> r(
        xcb_get_property_reply(d_->c,
                               xcb_get_property(d_->c, 0, window, d_->atom(property.c_str()), XCB_GET_PROPERTY_TYPE_ANY,
                                                0, 1u << 20),
                               nullptr),
        &std::free);
    if (!r || r->format != 32)
        return {};
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
    return {v, v + xcb_get_property_value_length(r.get()) / 4};
}

std::vector<std::string> XScreen::atom_names(uint32_t window, const std::string& property)
{
    std::vector<std::string> names;
    for (uint32_t a : values(window, property)) {
        Impl::Reply<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(d_->c, xcb_get_atom_name(d_->c, a), nullptr),
                                                 &std::free);
        if (r)
            names.emplace_back(xcb_get_atom_name_name(r.get()), size_t(xcb_get_atom_name_name_length(r.get())));
    }
    return names;
}

bool XScreen::exists(uint32_t window)
{
    Impl::Reply<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(d_->c, xcb_get_window_attributes(d_->c, window), nullptr), &std::free);
    return a != nullptr;
}

bool XScreen::window_manager_running() { return !values(d_->root, "_NET_SUPPORTING_WM_CHECK").empty(); }

// ---------------------------------------------------------------- the desktop

Desktop::Desktop()
{
    char tmpl[] = "/tmp/stravon-desktop-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp");
    root_ = tmpl;

    // -displayfd: the server takes a free display and prints its number.
    xvfb_ = itest::Child({program("Xvfb"), "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp",
                          "-noreset"},
                         own_env(), root_);
    const std::string number = read_until(
        xvfb_, [](const std::string& l) { return !l.empty() && l.find_first_not_of("0123456789") == std::string::npos; },
        15000);
    if (number.empty())
        throw std::runtime_error("Xvfb did not start: " + xvfb_.output());
    display_ = ":" + number;

    const std::string conf = root_ + "/bus.conf";
    itest::write_file(conf, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                            "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" +
                                root_ + "/bus</listen>\n  <auth>EXTERNAL</auth>\n"
                                "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n");
    dbus_ = itest::Child({program("dbus-daemon"), "--config-file=" + conf, "--nofork", "--print-address=1"},
                         own_env(), root_);
    bus_ = read_until(dbus_, [](const std::string& l) { return l.rfind("unix:", 0) == 0; }, 15000);
    if (bus_.empty())
        throw std::runtime_error("dbus-daemon did not start: " + dbus_.output());
    bus_name_ = "desktop-test-" + std::filesystem::path(root_).filename().string();
    x_ = std::make_unique<XScreen>(display_);
}

Desktop::~Desktop()
{
    QDBusConnection::disconnectFromBus(QString::fromStdString(bus_name_));
    x_.reset();
    // Clients before the servers they use.
    wm_ = itest::Child();
    trayer_ = itest::Child();
    watcher_ = itest::Child();
    dbus_ = itest::Child();
    xvfb_ = itest::Child();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::vector<std::string> Desktop::own_env() const
{
    std::vector<std::string> e = {"HOME=" + root_, "LANG=C.UTF-8"};
    if (const char* p = std::getenv("PATH"))
        e.push_back(std::string("PATH=") + p);
    if (!display_.empty())
        e.push_back("DISPLAY=" + display_);
    if (!bus_.empty())
        e.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_);
    for (const char* k : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(k))
            e.push_back(std::string(k) + "=" + v);
    return e;
}

std::vector<std::string> Desktop::env(std::vector<std::string> base) const
{
    std::erase_if(base, [](const std::string& kv) {
        for (const char* k : {"QT_QPA_PLATFORM=", "DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "WAYLAND_DISPLAY="})
            if (kv.rfind(k, 0) == 0)
                return true;
        return false;
    });
    base.push_back("QT_QPA_PLATFORM=xcb");
    base.push_back("DISPLAY=" + display_);
    base.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_);
    return base;
}

QDBusConnection Desktop::bus() const
{
    return QDBusConnection::connectToBus(QString::fromStdString(bus_), QString::fromStdString(bus_name_));
}

void Desktop::start_watcher(int host_after_ms)
{
    std::vector<std::string> argv = {itest::bin_dir() + "/stravon-sni-watcher"};
    if (host_after_ms > 0)
        argv.insert(argv.end(), {"--host-after", std::to_string(host_after_ms)});
    watcher_ = itest::Child(argv, own_env(), root_);
    if (read_until(watcher_, [](const std::string& l) { return l == "ready"; }, 15000).empty())
        throw std::runtime_error("the watcher stand-in did not start: " + watcher_.output());
}

void Desktop::stop_watcher()
{
    watcher_.signal(SIGTERM);
    watcher_.wait(10000);
    QDBusConnection b = bus();
    wait_until([&] { return !b.interface()->isServiceRegistered(WatcherService).value(); }, 10000);
}

void Desktop::start_trayer()
{
    trayer_ = itest::Child({program("trayer"), "--edge", "top", "--align", "left", "--widthtype", "request",
                            "--height", "24", "--SetDockType", "false", "--transparent", "false"},
                           own_env(), root_);
    if (!wait_until([&] { return x_->selection_owned("_NET_SYSTEM_TRAY_S0"); }, 15000))
        throw std::runtime_error("trayer took no tray selection: " + trayer_.output());
}

void Desktop::start_window_manager()
{
    wm_ = itest::Child({program("openbox"), "--sm-disable"}, own_env(), root_);
    if (!wait_until([&] { return x_->window_manager_running(); }, 15000))
        throw std::runtime_error("openbox did not take the screen: " + wm_.output());
}

int Desktop::run(const std::vector<std::string>& argv, std::string* output) const
{
    std::vector<std::string> a = argv;
    a[0] = program(a[0]);
    itest::Child c(a, own_env(), root_);
    const int rc = c.wait(30000);
    if (output)
        *output = c.output();
    return rc;
}

// ---------------------------------------------------------------- the router

Router::Router(const Desktop& desk, const std::vector<std::string>& sim_args)
{
    box.write_record(itest::Record());
    sim = box.start_termsim(1, sim_args);
    router = itest::Child({itest::bin_dir() + "/stravon"}, desk.env(box.env()), box.work);
}

Router::~Router()
{
    router.signal(SIGTERM);
    EXPECT_EQ(router.wait(20000), 0) << router.output();
}

// ---------------------------------------------------------------- D-Bus side

std::vector<Item> TrayItems::registered()
{
    QDBusMessage get = QDBusMessage::createMethodCall(WatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                                      Properties, QStringLiteral("Get"));
    get << WatcherService << QStringLiteral("RegisteredStatusNotifierItems");
    const QDBusMessage reply = bus_.call(get, QDBus::Block, 5000);
    std::vector<Item> items;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return items;
    // Each entry is the item's bus name followed by its object path.
    for (const QString& id : reply.arguments().constFirst().value<QDBusVariant>().variant().toStringList()) {
        const qsizetype slash = id.indexOf(QLatin1Char('/'));
        if (slash > 0)
            items.push_back({id.left(slash), id.mid(slash)});
    }
    return items;
}

std::optional<Item> TrayItems::wait_for_item(int timeout_ms)
{
    std::optional<Item> found;
    wait_until(
        [&] {
            const std::vector<Item> all = registered();
            if (!all.empty())
                found = all.front();
            return found.has_value();
        },
        timeout_ms);
    return found;
}

QVariant TrayItems::property(const Item& item, const QString& name, int timeout_ms)
{
    QDBusMessage get = QDBusMessage::createMethodCall(item.service, item.path, Properties, QStringLiteral("Get"));
    get << ItemInterface << name;
    const QDBusMessage reply = bus_.call(get, QDBus::Block, timeout_ms);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

QString TrayItems::tooltip_title(const Item& item)
{
    const QVariant v = property(item, QStringLiteral("ToolTip"));
    if (!v.canConvert<QDBusArgument>())
        return {};
    const QDBusArgument arg = v.value<QDBusArgument>();
    QString icon_name, title, text;
    arg.beginStructure();
    arg >> icon_name;
    read_pixmaps(arg);
    arg >> title >> text;
    arg.endStructure();
    return title;
}

QString TrayItems::menu_path(const Item& item)
{
    return property(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
}

QStringList TrayItems::menu_labels(const Item& item)
{
    QDBusMessage layout = QDBusMessage::createMethodCall(item.service, menu_path(item),
                                                         QStringLiteral("com.canonical.dbusmenu"),
                                                         QStringLiteral("GetLayout"));
    layout << 0 << -1 << QStringList();
    const QDBusMessage reply = bus_.call(layout, QDBus::Block, 5000);
    QStringList labels;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
        return labels;
    // (ia{sv}av): id, properties, children of the same shape in variants.
    const QDBusArgument top = reply.arguments().at(1).value<QDBusArgument>();
    int id = 0;
    QVariantMap props;
    top.beginStructure();
    top >> id >> props;
    top.beginArray();
    while (!top.atEnd()) {
        QDBusVariant child;
        top >> child;
        const QDBusArgument c = child.variant().value<QDBusArgument>();
        QVariantMap cp;
        c.beginStructure();
        c >> id >> cp;
        c.endStructure();
        labels << (cp.value(QStringLiteral("type")).toString() == QLatin1String("separator")
                       ? QStringLiteral("-")
                       : cp.value(QStringLiteral("label")).toString());
    }
    top.endArray();
    top.endStructure();
    return labels;
}

QImage TrayItems::icon_pixmap(const Item& item, int size)
{
    const QVariant v = property(item, QStringLiteral("IconPixmap"));
    if (!v.canConvert<QDBusArgument>())
        return {};
    for (const QImage& img : read_pixmaps(v.value<QDBusArgument>()))
        if (img.width() == size)
            return img;
    return {};
}

bool TrayItems::activate(const Item& item, int x, int y)
{
    QDBusMessage call = QDBusMessage::createMethodCall(item.service, item.path, ItemInterface,
                                                       QStringLiteral("Activate"));
    call << x << y;
    return bus_.call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

std::optional<std::chrono::milliseconds> TrayItems::call_time(const Item& item, int timeout_ms)
{
    const auto t0 = Clock::now();
    if (!property(item, QStringLiteral("Status"), timeout_ms).isValid())
        return std::nullopt;
    return since(t0);
}

std::vector<TrayItems::IconSample> TrayItems::sample_icon(const Item& item, const std::function<bool()>& done,
                                                          int period_ms, int max_ms)
{
    std::vector<IconSample> samples;
    const auto t0 = Clock::now();
    for (;;) {
        const auto sent = Clock::now();
        IconSample s{since(t0), {}, icon_pixmap(item)};
        s.answered_in = since(sent);
        samples.push_back(s);
        if (done() || since(t0).count() >= max_ms)
            break;
        std::this_thread::sleep_until(sent + std::chrono::milliseconds(period_ms));
    }
    return samples;
}

} // namespace desktop
