#include "app/form1.h"

#include "ui_form1.h"
#include "diag/diag.h"
#include "platform/codepage.h"
#include "platform/dispatch.h"
#include "platform/registry.h"
#include "platform/serial_device.h"
#include "platform/tty_info.h"
#include "protocol/porcio.h"
#include "protocol/settings.h"
#include "serial/ser_port.h"
#include "tray/status_icon.h"
#include "tray/tray_pictures.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace {

const QString CloseQuestion = QStringLiteral("Opravdu si přeješ ukončit program?\nKomunikace bude ukončena!");
const QString RestartQuestion = QStringLiteral(
    "Nastavená konfigurace bude použita až po restartu programu!\nProvést restart programu ihned?");
const QString NoPortWarning = QStringLiteral("Neni otevřen žádný port\nje nutno provést konfiguraci portu!");
const char* const ValueName = "Data_CFG";
constexpr int DelayItems = 25;

// The controls of terminal position n = 1..4.
QLineEdit* adr(const Ui::TForm1& u, int n) { return std::array{u.Adr1, u.Adr2, u.Adr3, u.Adr4}[n - 1]; }
QComboBox* port(const Ui::TForm1& u, int n) { return std::array{u.Port1, u.Port2, u.Port3, u.Port4}[n - 1]; }
QCheckBox* pripojen(const Ui::TForm1& u, int n)
{
    return std::array<QCheckBox*, 4>{u.Pripojen1, u.Pripojen2, u.Pripojen3, u.Pripojen4}[n - 1];
}

// A centred notice keeps its place; it only grows sideways around its centre
// when this font needs more room than the layout gave it.
void fit_notice(QLabel* l)
{
    QRect r = l->geometry();
    const QSize need = l->sizeHint();
    if (need.width() > r.width())
        r.adjust(-(need.width() - r.width() + 1) / 2, 0, (need.width() - r.width() + 1) / 2, 0);
    if (need.height() > r.height())
        r.setHeight(need.height());
    l->setGeometry(r);
}

QStringList numbers(int from, int to, int step = 1)
{
    QStringList l;
    for (int i = from; i <= to; i += step)
        l << QString::number(i);
    return l;
}

void select_stored(QComboBox* box, unsigned index)
{
    box->setCurrentIndex(index < static_cast<unsigned>(box->count()) ? static_cast<int>(index) : -1);
}

QString cp1250_field(const std::array<uint8_t, FileNameFieldSize>& field)
{
    return QString::fromStdString(platform::cp1250_to_utf8(field_text(field)));
}

TStoredValueKind kind_of(const platform::RegValue& v)
{
    switch (v.type) {
    case platform::REG_BINARY: return TStoredValueKind::Binary;
    case platform::REG_SZ: return TStoredValueKind::String;
    case platform::REG_EXPAND_SZ: return TStoredValueKind::ExpandString;
    case platform::REG_DWORD: return TStoredValueKind::Dword;
    default: return TStoredValueKind::Other;
    }
}

// Local time as it goes into a file name: 20261208-141509.
std::string file_time_stamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &local);
    return buf;
}

int32_t integer_field(const QLineEdit* edit)
{
    const QString text = edit->text();
    const std::optional<int32_t> v = parse_int(text.toStdString());
    if (!v)
        throw TAppError(QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
    return *v;
}

} // namespace

void Process_window_events(int max_ms)
{
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        return;
    // Events posted before a handler began wait otherwise until it returns:
    // a nested pass only takes what was posted since.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents, max_ms);
}

// ---------------------------------------------------------------- start-up

TForm1::TForm1(TDialogs& dialogs, QWidget* parent)
    : QWidget(parent), Dialogs(dialogs), FUi(std::make_unique<Ui::TForm1>())
{
    platform::clear_stop();
    build_layout();                  // 1
    ReadCFG();                       // 2
    Cmd_list.clear();                // 3
    Read_work_dir();                 // 4
    ShowCFG();                       // 5
    Log_error("Start programu");     // 6
    for (const std::string& note : FStartNotes)
        Log_error(note);
    setVisible(false);               // 7
    Line_up();                       // 8
    Start_watcher();                 // 9
    // An adapter unplugged and plugged in again comes back without a restart;
    // never inside a link wait.
    FReviveTimer = new QTimer(this);
    connect(FReviveTimer, &QTimer::timeout, this, [this] {
        if (!FRunning)
            Revive_ports();
    });
    FReviveTimer->start(2000);
}

TForm1::~TForm1()
{
    // A window destroyed without a confirmed close (tests, start-up failure)
    // still lets go of its terminals and ports in the proper order.
    if (!FReleased)
        Release_all();
}

TShape* TForm1::Indicator(int n) const { return n >= 1 && n <= 4 ? Indicators[n - 1] : nullptr; }
TPorcio* TForm1::Terminal(int n) const { return n >= 1 && n <= 4 ? Terminals[n - 1].get() : nullptr; }
TSer_Port* TForm1::Port(int com_index) const
{
    return com_index >= 0 && com_index < 8 ? Ports[com_index].get() : nullptr;
}

void TForm1::build_layout()
{
    const Ui::TForm1& u = *FUi;
    FUi->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    // The layout's pixel geometry was made for an 8 point sans at 96 dpi,
    // a size the form description can only give in points.
    QFont sans(QStringLiteral("Nimbus Sans"));
    sans.setStyleHint(QFont::SansSerif);
    sans.setPixelSize(11);
    setFont(sans);
    QFont mono(QStringLiteral("Nimbus Mono PS"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setFixedPitch(true);
    mono.setPixelSize(11);
    u.Memo1->setFont(mono);
    for (QLabel* l : findChildren<QLabel*>()) {
        if (l->property("autoSize").toBool())
            l->adjustSize();
        if (l->property("centredNotice").toBool())
            fit_notice(l);
    }
    if (const QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());

    ImageList1 = make_image_list();
    u.PageControl1->setTabIcon(0, QIcon(ImageList1[PictureMagnifier]));
    u.PageControl1->setTabIcon(1, QIcon(ImageList1[PictureChecklist]));
    u.PageControl1->setTabIcon(2, QIcon(ImageList1[PicturePower]));
    u.BitBtn2->setIcon(QIcon(ImageList1[PictureMagnifier]));
    u.BitBtn3->setIcon(QIcon(ImageList1[PicturePower]));
    u.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    u.Image1->setPixmap(ImageList1[PictureIdle].scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    FPopupMenu1 = new QMenu(this);
    FPopupMenu1->addActions({u.Show_window, u.Hide_window, u.N1, u.Konec});
    FPopupMenu1->setDefaultAction(u.Show_window);
    u.TabSheet2->PopupMenu = FPopupMenu1;
    u.TabSheet3->PopupMenu = FPopupMenu1;

    FStatusIcon1 = new TStatusIcon(this);
    FStatusIcon1->setIconList(ImageList1);
    FStatusIcon1->setHint(QStringLiteral("Komunikátor PORCIO"));
    FStatusIcon1->setShowHint(true);
    FStatusIcon1->setIconIndex(0);
    FStatusIcon1->setPopupMenu(FPopupMenu1);
    FStatusIcon1->setStartMinimized(true);
    FStatusIcon1->Loaded();

    FOpenDialog1.title = QStringLiteral("Soubory příkazů do terminálu.");
    FOpenDialog1.filter = QStringLiteral("Konfigurační soubory|*.cfg|Bat soubory|*.bat");
    FOpenDialog1.default_ext = QStringLiteral("*.cfg");
    FOpenDialog1.initial_dir = QStringLiteral(".");
    connect_handlers();
}

void TForm1::connect_handlers()
{
    const Ui::TForm1& u = *FUi;
    const auto guarded = [this](void (TForm1::*handler)()) {
        return [this, handler] { run_guarded(Dialogs, this, [this, handler] { (this->*handler)(); }); };
    };
    connect(u.BitBtn2, &QPushButton::clicked, this, guarded(&TForm1::BitBtn2Click));
    connect(u.Button1, &QPushButton::clicked, this, guarded(&TForm1::Button1Click));
    connect(u.Button3, &QPushButton::clicked, this, guarded(&TForm1::Button3Click));
    connect(u.Button2, &QPushButton::clicked, this, &TForm1::Hide_windowClick);
    connect(u.BitBtn3, &QPushButton::clicked, this, &TForm1::BitBtn3Click);
    connect(u.BitBtn1, &QPushButton::clicked, this, guarded(&TForm1::BitBtn1Click));
    connect(u.Delay_add, &QComboBox::editTextChanged, this, guarded(&TForm1::Delay_addChange));
    for (int n = 1; n <= 4; ++n)
        connect(port(u, n), &QComboBox::currentIndexChanged, this, &TForm1::Update_device_tips);
    connect(u.Show_window, &QAction::triggered, this, &TForm1::Show_windowClick);
    connect(u.Hide_window, &QAction::triggered, this, &TForm1::Hide_windowClick);
    connect(u.Konec, &QAction::triggered, this, &TForm1::KonecClick);
}

// ---------------------------------------------------------------- configuration

void TForm1::ReadCFG()
{
    platform::RegistryStore store;
    // A file that cannot be parsed at all would fail every save: it is kept
    // aside for the technician, and the program goes on as for an unreadable value.
    bool set_aside = false;
    if (store.damaged()) {
        const std::string aside = store.path() + ".poskozeny-" + file_time_stamp();
        set_aside = std::rename(store.path().c_str(), aside.c_str()) == 0;
        FStartNotes.push_back(set_aside ? "Poskozeny soubor konfigurace " + store.path() + " byl presunut do " + aside
                                        : "Poskozeny soubor konfigurace " + store.path() + " nelze presunout (" +
                                              std::strerror(errno) + ")");
    }
    store.open_key(platform::Setup_key, true);
    bool unreadable = set_aside;
    const std::optional<platform::RegValue> value = store.read(platform::Setup_key, ValueName, &unreadable);
    const TReadOutcome outcome =
        value                    ? classify_stored_value(kind_of(*value), value->data.size())
        : unreadable || set_aside ? classify_stored_value(TStoredValueKind::ReadFailed, 0)
                                  : TReadOutcome::NoValue;
    switch (outcome) {
    case TReadOutcome::NoValue:
        Data_CFG = TDataCFG{};
        break;
    case TReadOutcome::UseAsIs:
        Data_CFG = decode_config(value->data);
        break;
    case TReadOutcome::ReplaceByDefaults: {
        Data_CFG = default_config();
        const TConfigBytes bytes = encode_config(Data_CFG);
        // Nowhere to report a failed write yet (no working directory); the
        // defaults still hold for this run and the write is tried next start.
        // A damaged file that could not be moved aside is not written over.
        if (!store.damaged())
            store.write(platform::Setup_key, ValueName,
                        platform::RegValue{platform::REG_BINARY, std::vector<uint8_t>(bytes.begin(), bytes.end())});
        break;
    }
    }
    const TDerivedSettings s = derive_settings(Data_CFG);
    CCode = s.CCode;
    DT_use = s.DT_use;
    Kredit = s.Kredit;
    MxSn = s.MxSn;
    MxVec = s.MxVec;
    Data_length = s.Data_length;
    Baud_rate = s.Baud_rate;
    bool connected = false;
    for (int n = 1; n <= 4; ++n)
        connected = connected || (Data_CFG.Pripojen(n) && Data_CFG.Port(n) < Ports.size());
    if (connected && s.Records != Data_CFG.Radku1)
        FStartNotes.push_back("Kapacita " + std::to_string(Data_CFG.Radku1) + " zaznamu je mimo rozsah 1 az " +
                              std::to_string(MaxRecords) + ", pouzije se " + std::to_string(s.Records));
}

void TForm1::ShowCFG()
{
    const Ui::TForm1& u = *FUi;
    const QSignalBlocker block(u.Delay_add);
    u.Delay_add->clear();
    u.Delay_add->addItems(numbers(0, 4 * (DelayItems - 1), 4));
    for (int n = 1; n <= 4; ++n) {
        adr(u, n)->setText(QString::number(Data_CFG.Adr(n)));
        select_stored(port(u, n), Data_CFG.Port(n));
        pripojen(u, n)->setChecked(Data_CFG.Pripojen(n) != 0);
    }
    select_stored(u.K_Baud1, static_cast<uint32_t>(Data_CFG.K_Baud1));
    select_stored(u.Rep_read, Data_CFG.Rep_read);
    select_stored(u.Rep_write, Data_CFG.Rep_write);
    select_stored(u.Delay_add, Data_CFG.Delay_add);
    u.CCode1->setChecked(Data_CFG.CCode1 != 0);
    u.DT_use1->setChecked(Data_CFG.DT_use1 != 0);
    u.Kredit1->setChecked(Data_CFG.Kredit1 != 0);
    u.Priority_set->setChecked(Data_CFG.Priority_set != 0);
    u.Radku1->setText(QString::number(Data_CFG.Radku1));
    u.MxSn1->setText(QString::number(Data_CFG.MxSn1));
    u.MxVec1->setText(QString::number(Data_CFG.MxVec1));
    u.InSoubor->setText(cp1250_field(Data_CFG.InSoubor));
    u.OutSoubor->setText(cp1250_field(Data_CFG.OutSoubor));
    // A stored index past the list leaves no selection; the master test then
    // keeps its base wait rather than failing at start.
    Master_wait = MasterWaitBase;
    if (const int delay = combo_index(u.Delay_add); delay >= 0)
        Master_wait += static_cast<uint32_t>(parse_int(u.Delay_add->itemText(delay).toStdString()).value_or(0));
    u.Label26->setText(QStringLiteral("Poslední úprava programu: Mar  1 2002"));
}

void TForm1::BitBtn1Click()
{
    const Ui::TForm1& u = *FUi;
    TDataCFG c;
    for (int n = 1; n <= 4; ++n)
        c.Adr(n) = static_cast<uint8_t>(integer_field(adr(u, n)));
    for (int n = 1; n <= 4; ++n)
        c.Port(n) = static_cast<uint8_t>(combo_index(port(u, n)));
    for (int n = 1; n <= 4; ++n)
        c.Pripojen(n) = pripojen(u, n)->isChecked() ? 1 : 0;
    c.K_Baud1 = combo_index(u.K_Baud1);
    c.CCode1 = u.CCode1->isChecked() ? 1 : 0;
    c.DT_use1 = u.DT_use1->isChecked() ? 1 : 0;
    c.Kredit1 = u.Kredit1->isChecked() ? 1 : 0;
    c.Radku1 = integer_field(u.Radku1);
    c.MxSn1 = integer_field(u.MxSn1);
    c.MxVec1 = integer_field(u.MxVec1);
    c.InSoubor = make_field(platform::utf8_to_cp1250(u.InSoubor->text().toStdString()));
    c.OutSoubor = make_field(platform::utf8_to_cp1250(u.OutSoubor->text().toStdString()));
    c.Rep_read = static_cast<uint8_t>(combo_index(u.Rep_read));
    c.Rep_write = static_cast<uint8_t>(combo_index(u.Rep_write));
    c.Delay_add = static_cast<uint8_t>(combo_index(u.Delay_add));
    c.Priority_set = u.Priority_set->isChecked() ? 1 : 0;

    switch (request_name_clash(field_text(c.InSoubor), field_text(c.OutSoubor))) {
    case TNameClash::None:
        break;
    case TNameClash::Output:
        Dialogs.message(this, QStringLiteral("Jméno souboru požadavků se nesmí shodovat se jménem souboru výstupu!"),
                        QStringLiteral("Pozor!"), TBoxIcon::Warning);
        return;
    case TNameClash::OwnFile:
        Dialogs.message(this,
                        QStringLiteral("Jméno souboru požadavků nesmí být porcom.sta, errorlog.txt ani binarni.bin!"),
                        QStringLiteral("Pozor!"), TBoxIcon::Warning);
        return;
    }

    const TConfigBytes bytes = encode_config(c);
    platform::RegistryStore store;
    const bool written =
        store.open_key(platform::Setup_key, true) &&
        store.write(platform::Setup_key, ValueName,
                    platform::RegValue{platform::REG_BINARY, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    if (!written)
        throw TAppError(std::string("Failed to set data for '") + ValueName + "'");

    if (Dialogs.ask_yes_no(this, RestartQuestion, QStringLiteral("Varování"), TBoxIcon::Warning))
        close();
}

void TForm1::Delay_addChange()
{
    const Ui::TForm1& u = *FUi;
    const int index = combo_index(u.Delay_add);
    if (index < 0)
        throw TAppError(QStringLiteral("List index out of bounds (%1)").arg(index).toStdString());
    const std::optional<int32_t> extra = parse_int(u.Delay_add->itemText(index).toStdString());
    if (!extra)
        throw TAppError(QStringLiteral("'%1' is not a valid integer value").arg(u.Delay_add->itemText(index)).toStdString());
    Master_wait = MasterWaitBase + static_cast<uint32_t>(*extra);
}

int TForm1::combo_index(const QComboBox* box)
{
    const int i = box->currentIndex();
    if (i < 0)
        return -1;
    if (box->isEditable() && box->currentText() != box->itemText(i))
        return -1;
    return i;
}

int TForm1::Rep_read_attempts() const { return combo_index(FUi->Rep_read) + 1; }
int TForm1::Rep_write_attempts() const { return combo_index(FUi->Rep_write) + 1; }
bool TForm1::Priority_set_checked() const { return FUi->Priority_set->isChecked(); }

// ---------------------------------------------------------------- line-up

void TForm1::Line_up()
{
    for (int n = 0; n < 4; ++n) {
        auto* s = new TShape(FUi->TabSheet1);
        s->setGeometry(5 + 35 * n, 20, 25, 25);
        s->setBrushColor(colors::White);
        s->show();
        Indicators[n] = s;
    }

    // Serial waits dispatch window messages; a close meanwhile must wait.
    FRunning = true;
    std::array<bool, 8> marked{};
    for (int n = 1; n <= 4; ++n)
        if (Data_CFG.Pripojen(n) && Data_CFG.Port(n) < Ports.size())
            marked[Data_CFG.Port(n)] = true;

    std::array<bool, 8> open{};
    for (std::size_t p = 0; p < Ports.size(); ++p) {
        if (!marked[p])
            continue;
        Ports[p] = std::make_unique<TSer_Port>(static_cast<int>(p), Baud_rate);
        open[p] = Ports[p]->FOpened;
        // An opened port names its device, for the technician.
        if (open[p])
            Ports[p]->Log_opened();
        else
            Log_error(QStringLiteral("COM%1 neotevřen").arg(p + 1).toStdString());
    }

    for (int n = 1; n <= 4; ++n) {
        const uint8_t p = Data_CFG.Port(n);
        if (!Data_CFG.Pripojen(n) || p >= Ports.size() || !open[p])
            continue;
        Terminals[n - 1] = std::make_unique<TPorcio>(Ports[p].get(), Data_CFG.Adr(n));
        TPorcio* t = Terminals[n - 1].get();
        const char* state;
        if (!t->TestLink()) {
            Indicators[n - 1]->setBrushColor(colors::Red);
            state = "NEPRIPOJEN";
        } else if (t->IsMaster()) {
            Indicators[n - 1]->setBrushColor(colors::Lime);
            state = "MASTER";
        } else {
            Indicators[n - 1]->setBrushColor(colors::Aqua);
            state = "SLAVE";
        }
        Log_error("TERM " + std::to_string(n) + " " + state);
    }

    FUi->Memo1->clear();
    Show_pending = false;
    Update_device_tips();
    if (std::none_of(open.begin(), open.end(), [](bool o) { return o; })) {
        FUi->PageControl1->setCurrentWidget(FUi->TabSheet2);
        Dialogs.message(this, NoPortWarning, QStringLiteral("Pozor!"), TBoxIcon::Warning);
        Show_pending = true;
        setVisible(true);
    }
    End_run();
}

void TForm1::Revive_ports()
{
    // Revive also asks an idle port whether its device is still there.
    for (auto& port : Ports)
        if (port && port->FOpened)
            port->Revive();
    Update_device_tips();
}

// The device each COM port leads to now; names a missing one as such, for
// an unplugged adapter is the first thing to look for.
void TForm1::Update_device_tips()
{
    const auto tip = [](int com_index) {
        const std::string device = platform::resolve_device(platform::com_device_path(com_index + 1));
        struct stat st {};
        const bool present = ::stat(device.c_str(), &st) == 0;
        return QStringLiteral("COM%1: %2%3")
            .arg(com_index + 1)
            .arg(QString::fromStdString(device))
            .arg(present ? QString() : QStringLiteral(" (zařízení chybí)"));
    };
    for (int n = 1; n <= 4; ++n) {
        const int index = combo_index(port(*FUi, n));
        port(*FUi, n)->setToolTip(index >= 0 ? tip(index) : QString());
        const uint8_t p = Data_CFG.Port(n);
        if (Indicators[n - 1])
            Indicators[n - 1]->setToolTip(Terminals[n - 1] ? QStringLiteral("Term %1, ").arg(n) + tip(p)
                                                           : QStringLiteral("Term %1: nepřipojen").arg(n));
    }
}

void TForm1::Show_windowClick() { FStatusIcon1->ShowApplication(); }
void TForm1::Hide_windowClick() { FStatusIcon1->HideApplication(); }
void TForm1::KonecClick() { close(); }
void TForm1::BitBtn3Click() { close(); }

void TForm1::FormActivate()
{
    if (!Show_pending)
        return;
    Show_pending = false;
    // Not from inside the paint itself: showing may repaint.
    QTimer::singleShot(0, this, [this] { Show_windowClick(); });
}

void TForm1::paintEvent(QPaintEvent* e)
{
    QWidget::paintEvent(e);
    FormActivate();
}

// ---------------------------------------------------------------- close

bool TForm1::FormClose()
{
    if (FReleased)
        return true;
    if (FRunning) {
        FClosePending = true;
        return false;
    }
    const bool skip = FSkipQuestion;
    FSkipQuestion = false;
    if (!skip) {
        FAsking = true;
        FForceClose = false;
        const bool yes = Dialogs.ask_yes_no(nullptr, CloseQuestion, QStringLiteral("Pozor!"), TBoxIcon::Question);
        FAsking = false;
        if (!yes && !FForceClose)
            return false;
    }
    // The question's own event loop may have let a run start.
    if (FRunning) {
        FClosePending = true;
        FSkipQuestion = true;
        return false;
    }
    Release_all();
    return true;
}

void TForm1::closeEvent(QCloseEvent* e)
{
    bool ok = false;
    run_guarded(Dialogs, this, [&] { ok = FormClose(); });
    if (!ok) {
        e->ignore();
        return;
    }
    e->accept();
    QMetaObject::invokeMethod(this, [this] { emit Closed(); }, Qt::QueuedConnection);
}

void TForm1::Close_without_question()
{
    if (FAsking) {
        // Inside the close question: whatever the answer, the program ends.
        FForceClose = true;
        return;
    }
    FSkipQuestion = true;
    if (FRunning) {
        // The run sends nothing more and leaves its waits; the close follows its end.
        platform::request_stop();
        FClosePending = true;
        return;
    }
    close();
}

void TForm1::End_run()
{
    FRunning = false;
    if (FClosePending) {
        FClosePending = false;
        QTimer::singleShot(0, this, [this] { close(); });
    }
}

void TForm1::Release_all()
{
    if (FReleased)
        return;
    FReleased = true;
    if (Hlidac)
        Hlidac->Terminate();
    // Each slot is emptied before its object goes, so a request handed over
    // while the watcher ends finds no terminal and no port.
    for (auto& slot : Terminals) {
        std::unique_ptr<TPorcio> t = std::move(slot);
        t.reset();
    }
    for (auto& slot : Ports) {
        std::unique_ptr<TSer_Port> p = std::move(slot);
        p.reset();
    }
    Log_error("Stop programu");
    Wait_for_watcher();
    Hlidac.reset();
    Cmd_list.clear();
    if (FStatusIcon1)
        FStatusIcon1->DeleteTrayIcon();
}

void TForm1::Wait_for_watcher()
{
    // The watcher may be blocked handing a request to this thread: keep
    // delivering those while waiting, or both would wait for ever.
    while (Hlidac && !Hlidac->Finished()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}
