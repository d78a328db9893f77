#include "app/form1.h"

#include "ui_form1.h"
#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/dispatch.h"
#include "platform/serial_device.h"
#include "platform/tty_info.h"
#include "protocol/porcio.h"
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
#include <QSystemTrayIcon>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>

namespace {

const QString CloseQuestion = QStringLiteral("Opravdu si přeješ ukončit program?\nKomunikace bude ukončena!");
const QString RestartQuestion = QStringLiteral(
    "Nastavená konfigurace bude použita až po restartu programu!\nProvést restart programu ihned?");
const QString NoPortWarning = QStringLiteral("Neni otevřen žádný port\nje nutno provést konfiguraci portu!");
const QString HowToLinkPort = QStringLiteral("COM port se k převodníku připojí příkazem\nstravon-ports map N ZAŘÍZENÍ");
const QString CloseNote = QStringLiteral("Program se ukončí po dokončení běžícího příkazu.");
const QString CloseNoteShort = QStringLiteral("Ukončí se po dokončení příkazu");
const QString TrayHint = QStringLiteral("Komunikátor PORCIO");
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

QString work_dir_text() { return QString::fromStdString(Work_dir); }

QColor colour_of(TTerminalState s)
{
    switch (s) {
    case TTerminalState::Unreachable: return colors::Red;
    case TTerminalState::Master: return colors::Lime;
    case TTerminalState::Slave: return colors::Aqua;
    case TTerminalState::None: break;
    }
    return colors::White;
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

// What the router shows in this window and reads from it.
class TForm1::View final : public TRouterView {
public:
    explicit View(TForm1& f) : F(f), U(*f.FUi)
    {
        Flush.setSingleShot(true);
        QObject::connect(&Flush, &QTimer::timeout, &F, [this] { FlushLines(); });
    }

    void ShowWriteAttempt(int attempt) override { U.Label22->setText(QString::number(attempt)); }
    void ShowReceived(int bytes) override { U.Label4->setText(QString::number(bytes)); }
    // The list shows the line in the program's code page; the output file
    // gets its bytes unchanged. Lines reach the list a few times a second:
    // a relayout and repaint for each line cost more processor than the link.
    void AddLine(const std::string& line) override
    {
        Pending << QString::fromStdString(platform::cp1250_to_utf8(line));
        if (platform::clock().now_us() - FlushedAt >= 250'000)
            FlushLines();
        else if (!Flush.isActive())
            Flush.start(250);  // the last lines of a burst
    }
    int WriteAttempts() override { return combo_index(U.Rep_write) + 1; }

    void ClearLog() override
    {
        Flush.stop();
        Pending.clear();
        U.Memo1->clear();
    }
    void ClearRunLabels(bool attempts) override
    {
        U.Label4->clear();
        U.Lstatus->clear();
        if (attempts) {
            U.Label22->clear();
            U.Label24->clear();
        }
    }
    void ShowReadAttempt(int attempt) override { U.Label24->setText(QString::number(attempt)); }
    void ShowStatus(int delivered, int records) override
    {
        FlushLines();
        U.Lstatus->setText(QStringLiteral("%1,%2").arg(delivered).arg(records));
    }
    void ShowBusy(bool busy) override { F.FStatusIcon1->setIconIndex(busy ? 1 : 0); }
    void ShowRunning(bool running) override
    {
        if (running) {
            enable_run_controls(false);
            F.setCursor(Qt::BusyCursor);
            return;
        }
        // Clicks made during the run reach the controls while they are still
        // off, and are dropped rather than run afterwards.
        QCoreApplication::processEvents();
        FlushLines();
        F.unsetCursor();
        enable_run_controls(true);
        F.Update_device_tips();
    }
    void ShowTerminal(int position, TTerminalState state) override
    {
        if (TShape* s = F.Indicator(position))
            s->setBrushColor(colour_of(state));
    }
    void NoPortWarning() override
    {
        U.PageControl1->setCurrentWidget(U.TabSheet2);
        F.Dialogs.message(&F, ::NoPortWarning + QStringLiteral("\n\n") + why_no_port() + QLatin1Char('\n') + HowToLinkPort,
                          QStringLiteral("Pozor!"), TBoxIcon::Warning);
        F.Show_pending = true;
        F.setVisible(true);
    }
    void SelectTerminal(int index) override { U.Selekt->setItemIndex(index); }
    void CloseNow() override { QTimer::singleShot(0, &F, [this] { F.close(); }); }

    int SelectedTerminal() override { return U.Selekt->ItemIndex(); }
    int ReadAttempts() override { return combo_index(U.Rep_read) + 1; }
    bool PrioritySet() override { return U.Priority_set->isChecked(); }

private:
    void FlushLines()
    {
        Flush.stop();
        if (!Pending.isEmpty())
            U.Memo1->addItems(Pending);
        Pending.clear();
        FlushedAt = platform::clock().now_us();
    }

    // The ports the line-up tried are those a connected terminal names.
    QString why_no_port() const
    {
        QStringList failed;
        for (int p = 0; p < 8; ++p)
            if (F.FRouter->Port(p))
                failed << QStringLiteral("COM%1").arg(p + 1);
        if (failed.isEmpty())
            return QStringLiteral("V konfiguraci není žádný terminál označen jako připojený.");
        return QStringLiteral("Porty připojených terminálů se neotevřely (%1), důvod je v errorlog.txt.")
            .arg(failed.join(QStringLiteral(", ")));
    }

    void enable_run_controls(bool on)
    {
        for (QWidget* w : {static_cast<QWidget*>(U.Button1), static_cast<QWidget*>(U.Button3),
                           static_cast<QWidget*>(U.BitBtn2), static_cast<QWidget*>(U.BitBtn1)})
            w->setEnabled(on);
        // The list still picks a value; typing (which can end in a box) waits.
        if (QLineEdit* e = U.Delay_add->lineEdit())
            e->setReadOnly(!on);
    }

    TForm1& F;
    const Ui::TForm1& U;
    QStringList Pending;  // lines not yet in the list
    QTimer Flush;
    uint64_t FlushedAt = 0;
};

// ---------------------------------------------------------------- start-up

TForm1::TForm1(TDialogs& dialogs, QWidget* parent)
    : QWidget(parent), Dialogs(dialogs), FUi(std::make_unique<Ui::TForm1>())
{
    build_layout();                  // 1
    FView = std::make_unique<View>(*this);
    FRouter = std::make_unique<TRouter>(*FView);
    FRouter->ReadCFG();              // 2 (3: the command list is the router's, empty)
    FRouter->Read_work_dir();        // 4
    Show_work_dir();
    ShowCFG();                       // 5
    FRouter->Log_start();            // 6
    setVisible(false);               // 7
    for (int n = 0; n < 4; ++n) {    // 8
        auto* s = new TShape(FUi->TabSheet1);
        s->setGeometry(5 + 35 * n, 20, 25, 25);
        s->setBrushColor(colors::White);
        s->show();
        Indicators[size_t(n)] = s;
    }
    Show_pending = false;
    FRouter->Line_up();
    Update_device_tips();
    // 9: the watcher hands each request to this thread and waits.
    FRouter->Start_watcher(FUi->InSoubor->text().toStdString(), [this](const std::function<void()>& fn) {
        QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
    });
    // An adapter unplugged and plugged in again comes back without a restart;
    // never inside a link wait.
    FReviveTimer = new QTimer(this);
    connect(FReviveTimer, &QTimer::timeout, this, [this] {
        if (FRouter->State() == TRunState::Idle) {
            FRouter->Revive_ports();
            Update_device_tips();
        }
    });
    FReviveTimer->start(2000);
}

TForm1::~TForm1() = default;

TShape* TForm1::Indicator(int n) const { return n >= 1 && n <= 4 ? Indicators[size_t(n - 1)] : nullptr; }

void TForm1::build_layout()
{
    const Ui::TForm1& u = *FUi;
    FUi->setupUi(this);
    // Fixed size: no maximize, whatever a window manager would offer by default.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(program_icon());
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
    u.Memo1->setUniformItemSizes(true);  // monospaced lines of one height: no measuring of each
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
    FStatusIcon1->setHint(TrayHint);
    FStatusIcon1->setShowHint(true);
    FStatusIcon1->setIconIndex(0);
    FStatusIcon1->setPopupMenu(FPopupMenu1);
    FStatusIcon1->setStartMinimized(true);
    FStatusIcon1->Loaded();

    // Beside the tabs, so it shows on every page and covers no control.
    FCloseNote = new QLabel(CloseNoteShort, this);
    FCloseNote->setObjectName(QStringLiteral("CloseNote"));
    FCloseNote->setToolTip(CloseNote);
    FCloseNote->setAlignment(Qt::AlignCenter);
    FCloseNote->setAutoFillBackground(true);
    FCloseNote->setFrameShape(QFrame::Box);
    QPalette note = FCloseNote->palette();
    note.setColor(QPalette::Window, QColor(255, 255, 225));
    note.setColor(QPalette::WindowText, QColor(128, 0, 0));
    FCloseNote->setPalette(note);
    FCloseNote->hide();

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
    // Enter in the command field sends it, as the button does.
    connect(u.Edit1, &QLineEdit::returnPressed, this, guarded(&TForm1::Button1Click));
    connect(u.BitBtn1, &QPushButton::clicked, this, guarded(&TForm1::BitBtn1Click));
    connect(u.Delay_add, &QComboBox::editTextChanged, this, guarded(&TForm1::Delay_addChange));
    for (int n = 1; n <= 4; ++n)
        connect(port(u, n), &QComboBox::currentIndexChanged, this, &TForm1::Update_device_tips);
    connect(u.Show_window, &QAction::triggered, this, &TForm1::Show_windowClick);
    connect(u.Hide_window, &QAction::triggered, this, &TForm1::Hide_windowClick);
    connect(u.Konec, &QAction::triggered, this, &TForm1::KonecClick);
}


// ---------------------------------------------------------------- configuration

void TForm1::ShowCFG()
{
    const Ui::TForm1& u = *FUi;
    const TDataCFG& cfg = FRouter->Data_CFG();
    const QSignalBlocker block(u.Delay_add);
    u.Delay_add->clear();
    u.Delay_add->addItems(numbers(0, 4 * (DelayItems - 1), 4));
    for (int n = 1; n <= 4; ++n) {
        adr(u, n)->setText(QString::number(cfg.Adr(n)));
        select_stored(port(u, n), cfg.Port(n));
        pripojen(u, n)->setChecked(cfg.Pripojen(n) != 0);
    }
    select_stored(u.K_Baud1, static_cast<uint32_t>(cfg.K_Baud1));
    select_stored(u.Rep_read, cfg.Rep_read);
    select_stored(u.Rep_write, cfg.Rep_write);
    select_stored(u.Delay_add, cfg.Delay_add);
    u.CCode1->setChecked(cfg.CCode1 != 0);
    u.DT_use1->setChecked(cfg.DT_use1 != 0);
    u.Kredit1->setChecked(cfg.Kredit1 != 0);
    u.Priority_set->setChecked(cfg.Priority_set != 0);
    u.Radku1->setText(QString::number(cfg.Radku1));
    u.MxSn1->setText(QString::number(cfg.MxSn1));
    u.MxVec1->setText(QString::number(cfg.MxVec1));
    u.InSoubor->setText(cp1250_field(cfg.InSoubor));
    u.OutSoubor->setText(cp1250_field(cfg.OutSoubor));
    // A stored index past the list leaves no selection; the master test then
    // keeps its base wait rather than failing at start.
    uint32_t extra = 0;
    if (const int delay = combo_index(u.Delay_add); delay >= 0)
        extra = static_cast<uint32_t>(parse_int(u.Delay_add->itemText(delay).toStdString()).value_or(0));
    FRouter->Set_delay(extra);
    u.Label26->setText(QStringLiteral("Poslední úprava programu: Mar  1 2002"));
}

void TForm1::BitBtn1Click()
{
    const Ui::TForm1& u = *FUi;
    TDataCFG c;
    const std::array<QLabel*, 4> adr_captions{u.Label5, u.Label7, u.Label9, u.Label11};
    const std::array<TGroupBox*, 4> groups{u.GroupBox1, u.GroupBox2, u.GroupBox3, u.GroupBox4};
    for (int n = 1; n <= 4; ++n)
        c.Adr(n) = static_cast<uint8_t>(integer_field(
            adr(u, n), QStringLiteral("„%1“ (%2)").arg(adr_captions[size_t(n - 1)]->text(), groups[size_t(n - 1)]->title())));
    for (int n = 1; n <= 4; ++n)
        c.Port(n) = static_cast<uint8_t>(combo_index(port(u, n)));
    for (int n = 1; n <= 4; ++n)
        c.Pripojen(n) = pripojen(u, n)->isChecked() ? 1 : 0;
    c.K_Baud1 = combo_index(u.K_Baud1);
    c.CCode1 = u.CCode1->isChecked() ? 1 : 0;
    c.DT_use1 = u.DT_use1->isChecked() ? 1 : 0;
    c.Kredit1 = u.Kredit1->isChecked() ? 1 : 0;
    const auto quoted = [](const QLabel* l) { return QStringLiteral("„%1“").arg(l->text()); };
    c.Radku1 = integer_field(u.Radku1, quoted(u.Label14));
    c.MxSn1 = integer_field(u.MxSn1, quoted(u.Label15));
    c.MxVec1 = integer_field(u.MxVec1, quoted(u.Label16));
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
    if (!FRouter->Save_config(c))
        throw TAppError("Failed to set data for 'Data_CFG'");

    if (Dialogs.ask_yes_no(this, RestartQuestion, QStringLiteral("Varování"), TBoxIcon::Warning)) {
        // Started anew only once the close question, too, was answered Yes.
        FRestart = true;
        FRestart = close();
    }
}

int32_t TForm1::integer_field(QLineEdit* edit, const QString& field) const
{
    const QString text = edit->text();
    const std::optional<int32_t> v = parse_int(text.toStdString());
    if (v)
        return *v;
    // The box gives the focus back to the field, on its tab.
    for (QWidget* w = edit->parentWidget(); w; w = w->parentWidget())
        if (FUi->PageControl1->indexOf(w) >= 0)
            FUi->PageControl1->setCurrentWidget(w);
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
    throw TAppError(QStringLiteral("'%1' is not a valid integer value\nNeplatné celé číslo v poli %2.")
                        .arg(text, field)
                        .toStdString());
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
    FRouter->Set_delay(static_cast<uint32_t>(*extra));
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

// ---------------------------------------------------------------- commands

void TForm1::Button1Click()
{
    if (FRouter->State() != TRunState::Idle)
        return;
    // The terminals' names are in code page 852.
    FRouter->Send_command(platform::utf8_to_cp852(FUi->Edit1->text().toStdString()));
}

void TForm1::Button3Click()
{
    if (FRouter->State() != TRunState::Idle)
        return;
    FRouter->Clear_log();
    if (const std::optional<QString> file = Dialogs.open_file(this, FOpenDialog1))
        FRouter->Run_command_file(file->toStdString());
}

void TForm1::BitBtn2Click() { FRouter->Test_master(); }

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
    const TDataCFG& cfg = FRouter->Data_CFG();
    for (int n = 1; n <= 4; ++n) {
        const int index = combo_index(port(*FUi, n));
        port(*FUi, n)->setToolTip(index >= 0 ? tip(index) : QString());
        if (Indicators[size_t(n - 1)])
            Indicators[size_t(n - 1)]->setToolTip(FRouter->Terminal(n) ? QStringLiteral("Term %1, ").arg(n) + tip(cfg.Port(n))
                                                                      : QStringLiteral("Term %1: nepřipojen").arg(n));
    }
}

// ---------------------------------------------------------------- window

void TForm1::Show_work_dir()
{
    const QString dir = work_dir_text();
    QLabel* l = FUi->WorkDir;
    // Room for the path's end too, where the directory's own name is.
    l->setText(l->fontMetrics().elidedText(dir, Qt::ElideMiddle, l->width()));
    l->setToolTip(dir);
    Update_tray_hint();
}

void TForm1::Update_tray_hint()
{
    QString note;
    if (FCloseNote && !FCloseNote->isHidden())
        note = QLatin1Char('\n') + CloseNote;
    // The tip's room is short: the path gives way in its middle.
    QString dir = work_dir_text();
    const qsizetype room = TStatusIcon::MaxHintLength - TrayHint.size() - 1 - note.size();
    if (dir.size() > room)
        dir = dir.left(room / 2 - 1) + QStringLiteral("…") + dir.right(room - room / 2);
    FStatusIcon1->setHint(TrayHint + QLatin1Char('\n') + dir + note);
}

void TForm1::Show_close_note(bool on)
{
    if (!FCloseNote || on == !FCloseNote->isHidden())
        return;
    if (on) {
        // Where the tabs end once they are laid out.
        const QTabWidget* pages = FUi->PageControl1;
        const QRect tabs = pages->tabBar()->geometry().translated(pages->pos());
        FCloseNote->setGeometry(tabs.right() + 8, tabs.top() + 2, width() - tabs.right() - 12, tabs.height() - 5);
        FCloseNote->raise();
    }
    FCloseNote->setVisible(on);
    Update_tray_hint();
    // A window nobody looks at: the notification area says it.
    if (on && !isVisible() && FStatusIcon1->trayIcon() && QSystemTrayIcon::supportsMessages())
        FStatusIcon1->trayIcon()->showMessage(QStringLiteral("Stravon"), CloseNote, QSystemTrayIcon::Information);
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
    TCloseStep step = FRouter->Close_requested(true);
    if (step == TCloseStep::Ask) {
        const bool yes = Dialogs.ask_yes_no(nullptr, CloseQuestion, QStringLiteral("Pozor!"), TBoxIcon::Question);
        step = FRouter->Close_answered(yes);
    }
    // Waiting for a run: said at once; the question follows the run's end.
    Show_close_note(FRouter->Running());
    if (step != TCloseStep::Close)
        return false;
    if (FStatusIcon1)
        FStatusIcon1->DeleteTrayIcon();
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
    if (FRouter->Close_requested(false) == TCloseStep::Close)
        close();
    else
        Show_close_note(FRouter->Running());
}
