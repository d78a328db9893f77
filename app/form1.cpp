#include "app/form1.h"

#include "diag/diag.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "protocol/porcio.h"
#include "protocol/settings.h"
#include "serial/ser_port.h"
#include "tray/status_icon.h"
#include "tray/tray_pictures.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

namespace {

const QString Caption = QStringLiteral("Stravon - komunikátor pro jídelny (4 týdny)");
const QString CloseQuestion = QStringLiteral("Opravdu si přeješ ukončit program?\nKomunikace bude ukončena!");
const QString RestartQuestion = QStringLiteral(
    "Nastavená konfigurace bude použita až po restartu programu!\nProvést restart programu ihned?");
const QString NoPortWarning = QStringLiteral("Neni otevřen žádný port\nje nutno provést konfiguraci portu!");
const char* const ValueName = "Data_CFG";
constexpr int DelayItems = 25;

const QColor Navy(0, 0, 128);
const QColor Maroon(128, 0, 0);
const QColor Purple(128, 0, 128);
const QColor Grey(128, 128, 128);
const QColor Red(255, 0, 0);

void set_text_color(QWidget* w, const QColor& c)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    p.setColor(QPalette::ButtonText, c);
    w->setPalette(p);
}

QLabel* make_label(QWidget* parent, const QString& text, int x, int y)
{
    auto* l = new QLabel(text, parent);
    l->move(x, y);
    l->adjustSize();
    return l;
}

// A centred notice keeps its place; it only grows sideways around its centre
// when this font needs more room than the layout gave it.
QLabel* make_notice(QWidget* parent, const QString& text, QRect r)
{
    auto* l = new QLabel(text, parent);
    l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    const QSize need = l->sizeHint();
    if (need.width() > r.width())
        r.adjust(-(need.width() - r.width() + 1) / 2, 0, (need.width() - r.width() + 1) / 2, 0);
    if (need.height() > r.height())
        r.setHeight(need.height());
    l->setGeometry(r);
    return l;
}

QLineEdit* make_edit(QWidget* parent, int x, int y, int w, int h)
{
    auto* e = new QLineEdit(parent);
    e->setGeometry(x, y, w, h);
    return e;
}

QComboBox* make_combo(QWidget* parent, const QStringList& items, int x, int y, int w, int h)
{
    auto* c = new QComboBox(parent);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->addItems(items);
    c->setGeometry(x, y, w, h);
    return c;
}

// Caption on the left, box on the right.
QCheckBox* make_check(QWidget* parent, const QString& text, int x, int y, int w, int h)
{
    auto* c = new QCheckBox(text, parent);
    c->setLayoutDirection(Qt::RightToLeft);
    c->setGeometry(x, y, w, h);
    return c;
}

QFrame* make_panel(QWidget* parent, int x, int y, int w, int h)
{
    auto* f = new QFrame(parent);
    f->setFrameStyle(QFrame::Box | QFrame::Sunken);
    f->setLineWidth(1);
    f->setGeometry(x, y, w, h);
    return f;
}

QPushButton* make_button(QWidget* parent, const QString& text, int x, int y, int w, int h)
{
    auto* b = new QPushButton(text, parent);
    b->setGeometry(x, y, w, h);
    return b;
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

int32_t integer_field(const QLineEdit* edit)
{
    const QString text = edit->text();
    const std::optional<int32_t> v = parse_int(text.toStdString());
    if (!v)
        throw TAppError(QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
    return *v;
}

} // namespace

// ---------------------------------------------------------------- helpers

TShape::TShape(QWidget* parent) : QWidget(parent) { resize(25, 25); }

void TShape::setBrushColor(const QColor& c)
{
    FColor = c;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(FColor);
    const qreal r = std::min(width(), height()) / 4.0;
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), r, r);
}

void TTabSheet::contextMenuEvent(QContextMenuEvent* e)
{
    if (PopupMenu)
        PopupMenu->popup(e->globalPos());
    else
        e->ignore();
}

void TTabSheet::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    if (BottomAligned)
        BottomAligned->setGeometry(0, height() - BottomAligned->height(), width(), BottomAligned->height());
}

void TGroupBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QFontMetrics fm(font());
    const int line = fm.height() / 2;
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(rect().adjusted(0, line, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(rect().adjusted(1, line + 1, -2, -2));
    const QRect caption(6, 0, fm.horizontalAdvance(title()) + 4, fm.height());
    p.fillRect(caption, palette().color(QPalette::Window));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(caption, Qt::AlignCenter, title());
}

TRadioGroup::TRadioGroup(const QStringList& items, QWidget* parent)
    : QGroupBox(parent), FGroup(new QButtonGroup(this))
{
    const int top = 8;
    const int step = (98 - top - 4) / std::max<int>(1, static_cast<int>(items.size()));
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        b->setGeometry(8, top + i * step, 54, step);
        FGroup->addButton(b, i);
        Buttons << b;
    }
}

int TRadioGroup::ItemIndex() const { return FGroup->checkedId(); }

void TRadioGroup::setItemIndex(int index)
{
    if (index >= 0 && index < Buttons.size()) {
        Buttons[index]->setChecked(true);
    } else if (QAbstractButton* b = FGroup->checkedButton()) {
        FGroup->setExclusive(false);
        b->setChecked(false);
        FGroup->setExclusive(true);
    }
}

// ---------------------------------------------------------------- start-up

TForm1::TForm1(TDialogs& dialogs, QWidget* parent)
    : QWidget(parent), Dialogs(dialogs)
{
    build_layout();                  // 1
    ReadCFG();                       // 2
    Cmd_list.clear();                // 3
    Read_work_dir();                 // 4
    ShowCFG();                       // 5
    Log_error("Start programu");     // 6
    setVisible(false);               // 7
    Line_up();                       // 8
    Start_watcher();                 // 9
}

TForm1::~TForm1()
{
    // A window destroyed without a confirmed close (tests, start-up failure)
    // still lets go of its terminals and ports in the proper order.
    if (!FReleased)
        Release_all();
}

void TForm1::build_layout()
{
    setWindowTitle(Caption);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(600, 380);
    // The layout's pixel geometry was made for an 8 point sans at 96 dpi.
    QFont sans(QStringLiteral("Nimbus Sans"));
    sans.setStyleHint(QFont::SansSerif);
    sans.setPixelSize(11);
    setFont(sans);
    if (const QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());

    ImageList1 = make_image_list();
    PageControl1 = new QTabWidget(this);
    PageControl1->setGeometry(0, 0, 600, 380);
    PageControl1->setIconSize(QSize(16, 16));
    TabSheet1 = new TTabSheet;
    TabSheet2 = new TTabSheet;
    TabSheet3 = new TTabSheet;
    PageControl1->addTab(TabSheet1, QIcon(ImageList1[PictureMagnifier]), QStringLiteral("Ovládání terminálu"));
    PageControl1->addTab(TabSheet2, QIcon(ImageList1[PictureChecklist]), QStringLiteral("Konfigurace terminálů"));
    PageControl1->addTab(TabSheet3, QIcon(ImageList1[PicturePower]), QStringLiteral("Servisní nastavení"));

    build_tab1();
    build_tab2();
    build_tab3();
    build_menu_and_icon();
    set_tab_order();
    OpenDialog1.title = QStringLiteral("Soubory příkazů do terminálu.");
    OpenDialog1.filter = QStringLiteral("Konfigurační soubory|*.cfg|Bat soubory|*.bat");
    OpenDialog1.default_ext = QStringLiteral("*.cfg");
    OpenDialog1.initial_dir = QStringLiteral(".");
    PageControl1->setCurrentIndex(0);
}

void TForm1::build_tab1()
{
    QWidget* t = TabSheet1;
    Label21 = make_label(t, QStringLiteral("Repeat:"), 24, 53);
    Label22 = make_label(t, QString(), 72, 53);
    Label23 = make_label(t, QStringLiteral("/"), 80, 53);
    Label24 = make_label(t, QString(), 90, 53);
    Label22->resize(8, 13);
    Label24->resize(20, 13);
    Label18 = make_label(t, QStringLiteral("Status:"), 24, 70);
    Lstatus = make_label(t, QString(), 64, 70);
    Lstatus->resize(70, 13);
    set_text_color(Lstatus, Red);

    BitBtn2 = make_button(t, QStringLiteral("Test Master"), 21, 96, 100, 25);
    BitBtn2->setIcon(QIcon(ImageList1[PictureMagnifier]));

    Selekt = new TRadioGroup({QStringLiteral("Term 1"), QStringLiteral("Term 2"), QStringLiteral("Term 3"),
                              QStringLiteral("Term 4")},
                             t);
    Selekt->setGeometry(143, 0, 65, 98);
    set_text_color(Selekt, Navy);
    Selekt->setItemIndex(0);

    Label3 = make_label(t, QStringLiteral("Načteno:"), 155, 105);
    Label4 = make_label(t, QString(), 204, 105);
    Label4->resize(60, 13);
    set_text_color(Label4, Maroon);

    Button1 = make_button(t, QStringLiteral("Poslat příkaz"), 230, 7, 140, 25);
    Edit1 = make_edit(t, 379, 8, 209, 21);
    Button3 = make_button(t, QStringLiteral("Načti příkazy ze souboru."), 230, 42, 140, 25);
    Button2 = make_button(t, QStringLiteral("Schovat program"), 230, 77, 140, 25);
    BitBtn3 = make_button(t, QStringLiteral("Konec programu"), 420, 61, 140, 41);
    BitBtn3->setIcon(QIcon(ImageList1[PicturePower]));

    Memo1 = new QListWidget(t);
    Memo1->setGeometry(0, 144, 592, 207);
    QFont mono(QStringLiteral("Nimbus Mono PS"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setFixedPitch(true);
    mono.setPixelSize(11);
    Memo1->setFont(mono);
    Memo1->setUniformItemSizes(true);
    Memo1->setStyleSheet(QStringLiteral("QListWidget { background: rgb(252,253,242); }"
                                        " QListWidget::item { height: 14px; padding: 0px; }"));
    TabSheet1->BottomAligned = Memo1;

    connect(BitBtn2, &QPushButton::clicked, this, [this] { run_guarded(Dialogs, this, [this] { BitBtn2Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { run_guarded(Dialogs, this, [this] { Button1Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { run_guarded(Dialogs, this, [this] { Button3Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Hide_windowClick(); });
    connect(BitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });
}

void TForm1::build_tab2()
{
    QWidget* t = TabSheet2;
    const QPoint group_pos[4] = {{15, 18}, {189, 18}, {15, 103}, {189, 103}};
    const QStringList ports = {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                               QStringLiteral("COM4"), QStringLiteral("COM5"), QStringLiteral("COM6"),
                               QStringLiteral("COM7"), QStringLiteral("COM8")};
    for (int i = 0; i < 4; ++i) {
        auto* g = new TGroupBox(QStringLiteral("Terminál %1").arg(i + 1), t);
        g->setGeometry(group_pos[i].x(), group_pos[i].y(), 170, 83);
        set_text_color(g, Navy);
        GroupBox[i] = g;
        const bool lower = i >= 2;
        make_label(g, QStringLiteral("Adresa"), 12, 17);
        Adr[i] = make_edit(g, 121, 12, 33, 21);
        make_label(g, QStringLiteral("Port"), 12, lower ? 41 : 40);
        Port[i] = make_combo(g, ports, 96, lower ? 37 : 36, 59, 21);
        Pripojen[i] = make_check(g, QStringLiteral("Připojen"), i == 1 ? 9 : 10, 60, 144, 17);
        for (QWidget* w : {static_cast<QWidget*>(Adr[i]), static_cast<QWidget*>(Port[i])})
            set_text_color(w, Qt::black);
    }

    Panel1 = make_panel(t, 15, 192, 345, 95);
    set_text_color(Panel1, Purple);
    Label13 = make_label(Panel1, QStringLiteral("Rychlost komunikace:"), 12, 12);
    K_Baud1 = make_combo(Panel1, {QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("4800"),
                                  QStringLiteral("9600"), QStringLiteral("19200")},
                         128, 9, 59, 21);
    CCode1 = make_check(Panel1, QStringLiteral("Kódování"), 10, 33, 131, 17);
    DT_use1 = make_check(Panel1, QStringLiteral("Používat DT"), 10, 51, 131, 17);
    Kredit1 = make_check(Panel1, QStringLiteral("Kredit"), 10, 70, 131, 17);
    Label14 = make_label(Panel1, QStringLiteral("Kapacita"), 207, 12);
    Radku1 = make_edit(Panel1, 276, 8, 53, 21);
    Label15 = make_label(Panel1, QStringLiteral("Max. p. snidaní"), 207, 37);
    MxSn1 = make_edit(Panel1, 299, 31, 30, 21);
    Label16 = make_label(Panel1, QStringLiteral("Max. p. večeří"), 208, 58);
    MxVec1 = make_edit(Panel1, 299, 55, 30, 21);
    for (QWidget* w : {static_cast<QWidget*>(K_Baud1), static_cast<QWidget*>(Radku1),
                       static_cast<QWidget*>(MxSn1), static_cast<QWidget*>(MxVec1)})
        set_text_color(w, Qt::black);

    Label17 = make_notice(t,
                          QStringLiteral("Hodnoty zapsané v této konfiguraci\nse uloží do registru Windows\n"
                                         "po stisknutí tlačítka Uložit CFG \na následném ukončení programu."),
                          QRect(368, 32, 217, 52));

    Image1 = new QLabel(t);
    Image1->setGeometry(470, 134, 33, 35);
    Image1->setPixmap(ImageList1[PictureIdle].scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    BitBtn1 = make_button(t, QStringLiteral("Uložit CFG"), 439, 229, 93, 56);
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    connect(BitBtn1, &QPushButton::clicked, this, [this] { run_guarded(Dialogs, this, [this] { BitBtn1Click(); }); });
}

void TForm1::build_tab3()
{
    QWidget* t = TabSheet3;
    Panel3 = make_panel(t, 66, 15, 460, 80);
    Label19 = make_label(Panel3, QStringLiteral("Max. počet pokusů pro zápis dat do terminálu:"), 15, 18);
    Rep_write = make_combo(Panel3, numbers(1, 9), 290, 14, 47, 21);
    Label20 = make_label(Panel3, QStringLiteral("Max. počet pokusů pro čtení dat z terminálu:"), 15, 51);
    Rep_read = make_combo(Panel3, numbers(1, 5), 290, 47, 47, 21);

    Panel4 = make_panel(t, 66, 101, 460, 41);
    Label27 = make_label(Panel4, QStringLiteral("Prodloužení testu MASTER o (ms)"), 15, 14);
    Delay_add = make_combo(Panel4, {}, 290, 10, 47, 21);

    Panel5 = make_panel(t, 66, 147, 460, 30);
    Priority_set = make_check(Panel5, QStringLiteral("Použít při komunikaci s terminálem HIGH_PRIORITY"), 15, 8, 314, 17);
    Priority_set->setChecked(true);
    for (QWidget* w : {static_cast<QWidget*>(Label19), static_cast<QWidget*>(Label20),
                       static_cast<QWidget*>(Label27), static_cast<QWidget*>(Priority_set)})
        set_text_color(w, Navy);

    Panel2 = make_panel(t, 66, 183, 460, 57);
    set_text_color(Panel2, Maroon);
    Label1 = make_label(Panel2, QStringLiteral("Jméno souboru požadavků na terminál:"), 15, 8);
    InSoubor = make_edit(Panel2, 225, 5, 113, 21);
    Label2 = make_label(Panel2, QStringLiteral("Jméno souboru výstupu z terminálu:"), 15, 34);
    OutSoubor = make_edit(Panel2, 225, 31, 113, 21);
    set_text_color(InSoubor, Qt::black);
    set_text_color(OutSoubor, Qt::black);

    Label25 = make_notice(
        t,
        QStringLiteral("Servisní nastavení:\n\nMaximální počty pokusů se uplatní v programu ihned! Pokud provedeme\n"
                       "uložení konfigurace v předešlé záložce, potom bude toto nastavení\n"
                       "uloženo v registrech Windows a zapamatuje se pro příští start programu."),
        QRect(125, 253, 341, 65));
    Label26 = make_notice(t, QString(), QRect(141, 326, 309, 13));
    QFont bold = Label26->font();
    bold.setBold(true);
    Label26->setFont(bold);
    set_text_color(Label26, Grey);

    connect(Delay_add, &QComboBox::editTextChanged, this,
            [this] { run_guarded(Dialogs, this, [this] { Delay_addChange(); }); });
}

void TForm1::build_menu_and_icon()
{
    PopupMenu1 = new QMenu(this);
    Show_window = PopupMenu1->addAction(QStringLiteral("Zobrazit program"));
    Hide_window = PopupMenu1->addAction(QStringLiteral("Schovat program"));
    N1 = PopupMenu1->addSeparator();
    Konec = PopupMenu1->addAction(QStringLiteral("Konec"));
    PopupMenu1->setDefaultAction(Show_window);
    connect(Show_window, &QAction::triggered, this, [this] { Show_windowClick(); });
    connect(Hide_window, &QAction::triggered, this, [this] { Hide_windowClick(); });
    connect(Konec, &QAction::triggered, this, [this] { KonecClick(); });
    TabSheet2->PopupMenu = PopupMenu1;
    TabSheet3->PopupMenu = PopupMenu1;

    StatusIcon1 = new TStatusIcon(this);
    StatusIcon1->setIconList(ImageList1);
    StatusIcon1->setHint(QStringLiteral("Komunikátor PORCIO"));
    StatusIcon1->setShowHint(true);
    StatusIcon1->setIconIndex(0);
    StatusIcon1->setPopupMenu(PopupMenu1);
    StatusIcon1->setStartMinimized(true);
    StatusIcon1->Loaded();
}

void TForm1::set_tab_order()
{
    QList<QWidget*> tab1 = {BitBtn2, Edit1, Button1, Button3, Selekt->Buttons[0], Button2, BitBtn3, Memo1};
    QList<QWidget*> tab2;
    for (int i = 0; i < 4; ++i)
        tab2 << Adr[i] << Port[i] << Pripojen[i];
    tab2 << K_Baud1 << CCode1 << DT_use1 << Kredit1 << Radku1 << MxSn1 << MxVec1 << BitBtn1;
    QList<QWidget*> tab3 = {Rep_write, Rep_read, Delay_add, Priority_set, InSoubor, OutSoubor};
    for (const QList<QWidget*>* chain : std::initializer_list<const QList<QWidget*>*>{&tab1, &tab2, &tab3})
        for (qsizetype i = 1; i < chain->size(); ++i)
            setTabOrder(chain->at(i - 1), chain->at(i));
}

// ---------------------------------------------------------------- configuration

void TForm1::ReadCFG()
{
    platform::RegistryStore store;
    store.open_key(platform::Setup_key, true);
    bool unreadable = false;
    const std::optional<platform::RegValue> value = store.read(platform::Setup_key, ValueName, &unreadable);
    const TReadOutcome outcome =
        value        ? classify_stored_value(kind_of(*value), value->data.size())
        : unreadable ? classify_stored_value(TStoredValueKind::ReadFailed, 0)
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
}

void TForm1::ShowCFG()
{
    const QSignalBlocker block(Delay_add);
    Delay_add->clear();
    Delay_add->addItems(numbers(0, 4 * (DelayItems - 1), 4));
    for (int n = 1; n <= 4; ++n) {
        Adr[n - 1]->setText(QString::number(Data_CFG.Adr(n)));
        select_stored(Port[n - 1], Data_CFG.Port(n));
        Pripojen[n - 1]->setChecked(Data_CFG.Pripojen(n) != 0);
    }
    select_stored(K_Baud1, static_cast<uint32_t>(Data_CFG.K_Baud1));
    select_stored(Rep_read, Data_CFG.Rep_read);
    select_stored(Rep_write, Data_CFG.Rep_write);
    select_stored(Delay_add, Data_CFG.Delay_add);
    CCode1->setChecked(Data_CFG.CCode1 != 0);
    DT_use1->setChecked(Data_CFG.DT_use1 != 0);
    Kredit1->setChecked(Data_CFG.Kredit1 != 0);
    Priority_set->setChecked(Data_CFG.Priority_set != 0);
    Radku1->setText(QString::number(Data_CFG.Radku1));
    MxSn1->setText(QString::number(Data_CFG.MxSn1));
    MxVec1->setText(QString::number(Data_CFG.MxVec1));
    InSoubor->setText(cp1250_field(Data_CFG.InSoubor));
    OutSoubor->setText(cp1250_field(Data_CFG.OutSoubor));
    // A stored index past the list leaves no selection; the master test then
    // keeps its base wait rather than failing at start.
    Master_wait = MasterWaitBase;
    if (const int delay = combo_index(Delay_add); delay >= 0)
        Master_wait += static_cast<uint32_t>(parse_int(Delay_add->itemText(delay).toStdString()).value_or(0));
    Label26->setText(QStringLiteral("Poslední úprava programu: Mar  1 2002"));
}

void TForm1::BitBtn1Click()
{
    TDataCFG c;
    for (int n = 1; n <= 4; ++n)
        c.Adr(n) = static_cast<uint8_t>(integer_field(Adr[n - 1]));
    for (int n = 1; n <= 4; ++n)
        c.Port(n) = static_cast<uint8_t>(combo_index(Port[n - 1]));
    for (int n = 1; n <= 4; ++n)
        c.Pripojen(n) = Pripojen[n - 1]->isChecked() ? 1 : 0;
    c.K_Baud1 = combo_index(K_Baud1);
    c.CCode1 = CCode1->isChecked() ? 1 : 0;
    c.DT_use1 = DT_use1->isChecked() ? 1 : 0;
    c.Kredit1 = Kredit1->isChecked() ? 1 : 0;
    c.Radku1 = integer_field(Radku1);
    c.MxSn1 = integer_field(MxSn1);
    c.MxVec1 = integer_field(MxVec1);
    c.InSoubor = make_field(platform::utf8_to_cp1250(InSoubor->text().toStdString()));
    c.OutSoubor = make_field(platform::utf8_to_cp1250(OutSoubor->text().toStdString()));
    c.Rep_read = static_cast<uint8_t>(combo_index(Rep_read));
    c.Rep_write = static_cast<uint8_t>(combo_index(Rep_write));
    c.Delay_add = static_cast<uint8_t>(combo_index(Delay_add));
    c.Priority_set = Priority_set->isChecked() ? 1 : 0;

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
    const int index = combo_index(Delay_add);
    if (index < 0)
        throw TAppError(QStringLiteral("List index out of bounds (%1)").arg(index).toStdString());
    const std::optional<int32_t> extra = parse_int(Delay_add->itemText(index).toStdString());
    if (!extra)
        throw TAppError(QStringLiteral("'%1' is not a valid integer value").arg(Delay_add->itemText(index)).toStdString());
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

int TForm1::Rep_read_attempts() const { return combo_index(Rep_read) + 1; }
int TForm1::Rep_write_attempts() const { return combo_index(Rep_write) + 1; }
bool TForm1::Priority_set_checked() const { return Priority_set->isChecked(); }

// ---------------------------------------------------------------- line-up

void TForm1::Line_up()
{
    for (int n = 0; n < 4; ++n) {
        auto* s = new TShape(TabSheet1);
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
        Log_error(QStringLiteral("COM%1 %2")
                      .arg(p + 1)
                      .arg(open[p] ? QStringLiteral("otevřen") : QStringLiteral("neotevřen"))
                      .toStdString());
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

    Memo1->clear();
    Show_pending = false;
    if (std::none_of(open.begin(), open.end(), [](bool o) { return o; })) {
        PageControl1->setCurrentWidget(TabSheet2);
        Dialogs.message(this, NoPortWarning, QStringLiteral("Pozor!"), TBoxIcon::Warning);
        Show_pending = true;
        setVisible(true);
    }
    End_run();
}

void TForm1::Show_windowClick() { StatusIcon1->ShowApplication(); }
void TForm1::Hide_windowClick() { StatusIcon1->HideApplication(); }
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
    if (StatusIcon1)
        StatusIcon1->DeleteTrayIcon();
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
