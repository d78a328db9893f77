// TForm1: the operator window and the owner of everything that lives for the run.
#pragma once
#include "app/config_record.h"
#include "app/dialogs.h"
#include "app/watcher.h"

#include <QColor>
#include <QGroupBox>
#include <QList>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QAction;
class QPushButton;
class QTabWidget;
class TPorcio;
class TSer_Port;
class TStatusIcon;

// A rounded square whose fill shows a terminal's state.
class TShape : public QWidget {
public:
    explicit TShape(QWidget* parent);
    QColor brushColor() const { return FColor; }
    void setBrushColor(const QColor& c);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor FColor = Qt::white;
};

// A tab page: keeps one child aligned to its bottom edge and opens its popup
// menu on a right click on the free area.
class TTabSheet : public QWidget {
public:
    explicit TTabSheet(QWidget* parent = nullptr) : QWidget(parent) {}
    QMenu* PopupMenu = nullptr;
    QWidget* BottomAligned = nullptr;

protected:
    void contextMenuEvent(QContextMenuEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
};

// A group box whose caption sits on its frame line, so children placed near
// the top stay clear of the frame.
class TGroupBox : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override;
};

// Radio group with an item index (-1: nothing selected).
class TRadioGroup : public QGroupBox {
public:
    TRadioGroup(const QStringList& items, QWidget* parent);
    int ItemIndex() const;
    void setItemIndex(int index);
    QList<class QRadioButton*> Buttons;

private:
    QButtonGroup* FGroup;
};

namespace colors {
inline const QColor White(255, 255, 255);
inline const QColor Red(255, 0, 0);
inline const QColor Lime(0, 255, 0);
inline const QColor Aqua(0, 255, 255);
} // namespace colors

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Runs the whole start-up sequence, the terminal line-up included.
    explicit TForm1(TDialogs& dialogs, QWidget* parent = nullptr);
    ~TForm1() override;

    // Start-up and configuration.
    void ReadCFG();
    void ShowCFG();
    void Line_up();
    void Start_watcher();

    // Handlers.
    void BitBtn1Click();
    void Delay_addChange();
    void Button1Click();
    void Button3Click();
    void BitBtn2Click();
    void Show_windowClick();
    void Hide_windowClick();
    void KonecClick();
    void BitBtn3Click();
    void FormActivate();
    // Returns whether the window may close now.
    bool FormClose();

    // Command dispatch and request processing.
    void Run_commands();
    bool Exchange_command(const std::string& line);
    void Split_record(const std::string& line);
    // The output file in Work_dir; the reason when it cannot be written.
    std::optional<std::string> Save_output(const std::string& name);
    void Report_status(int a, int b);
    void Process_request(const std::string& path);
    TPorcio* Selected_terminal() const;
    // Adds an answer line to Memo1; the output file gets its bytes unchanged.
    void Add_log_line(const std::string& bytes);

    // Ends the program like a confirmed close, without the question
    // (termination signals). Deferred while a command run is in progress.
    void Close_without_question();
    // A command run sets FRunning while it uses terminals and calls this when
    // it ends; a close asked for meanwhile then goes ahead.
    void End_run();
    bool Released() const { return FReleased; }

signals:
    // The close was confirmed and everything released: the program may end.
    void Closed();

public:

    // Index of the selected item of an editable list, -1 when its text is not
    // one of the items (typed) or nothing is selected.
    static int combo_index(const QComboBox* box);
    // Read at every use: maximum attempts (0 when nothing is selected).
    int Rep_read_attempts() const;
    int Rep_write_attempts() const;
    bool Priority_set_checked() const;

    TDialogs& Dialogs;

    // Window contents.
    QTabWidget* PageControl1 = nullptr;
    TTabSheet* TabSheet1 = nullptr;
    TTabSheet* TabSheet2 = nullptr;
    TTabSheet* TabSheet3 = nullptr;
    QList<QPixmap> ImageList1;

    QLabel *Label21 = nullptr, *Label22 = nullptr, *Label23 = nullptr, *Label24 = nullptr;
    QLabel *Label18 = nullptr, *Lstatus = nullptr, *Label3 = nullptr, *Label4 = nullptr;
    QPushButton *BitBtn2 = nullptr, *Button1 = nullptr, *Button2 = nullptr, *Button3 = nullptr, *BitBtn3 = nullptr;
    TRadioGroup* Selekt = nullptr;
    QLineEdit* Edit1 = nullptr;
    QListWidget* Memo1 = nullptr;

    std::array<TGroupBox*, 4> GroupBox{};
    std::array<QLineEdit*, 4> Adr{};
    std::array<QComboBox*, 4> Port{};
    std::array<QCheckBox*, 4> Pripojen{};
    QFrame* Panel1 = nullptr;
    QLabel *Label13 = nullptr, *Label14 = nullptr, *Label15 = nullptr, *Label16 = nullptr, *Label17 = nullptr;
    QComboBox* K_Baud1 = nullptr;
    QCheckBox *CCode1 = nullptr, *DT_use1 = nullptr, *Kredit1 = nullptr;
    QLineEdit *Radku1 = nullptr, *MxSn1 = nullptr, *MxVec1 = nullptr;
    QLabel* Image1 = nullptr;
    QPushButton* BitBtn1 = nullptr;

    QFrame *Panel2 = nullptr, *Panel3 = nullptr, *Panel4 = nullptr, *Panel5 = nullptr;
    QLabel *Label19 = nullptr, *Label20 = nullptr, *Label27 = nullptr, *Label1 = nullptr, *Label2 = nullptr;
    QLabel *Label25 = nullptr, *Label26 = nullptr;
    QComboBox *Rep_write = nullptr, *Rep_read = nullptr, *Delay_add = nullptr;
    QCheckBox* Priority_set = nullptr;
    QLineEdit *InSoubor = nullptr, *OutSoubor = nullptr;

    QMenu* PopupMenu1 = nullptr;
    QAction *Show_window = nullptr, *Hide_window = nullptr, *N1 = nullptr, *Konec = nullptr;
    TStatusIcon* StatusIcon1 = nullptr;
    TOpenFileRequest OpenDialog1;

    std::array<TShape*, 4> Indicators{};

    // Owned for the run.
    TDataCFG Data_CFG;
    std::vector<std::string> Cmd_list;
    std::array<std::unique_ptr<TSer_Port>, 8> Ports;
    std::array<std::unique_ptr<TPorcio>, 4> Terminals;
    std::unique_ptr<TWatcherThread> Hlidac;

    // The command being exchanged; RunCommand may mark it with an 'E'.
    std::array<char, 255> Cmd_buffer{};

    bool Show_pending = false;
    // Set while a command run (or the line-up) uses terminals and ports.
    bool FRunning = false;

protected:
    void closeEvent(QCloseEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    void build_layout();
    void build_tab1();
    void build_tab2();
    void build_tab3();
    void build_menu_and_icon();
    void set_tab_order();
    void Release_all();
    class RunScope;
    void Enable_run_buttons(bool on);
    void Clear_run_labels();
    void Report_selected_status();
    std::string Output_name() const;
    // A request file that could not be read is logged once, not every poll.
    std::string FUnreadableRequest;
    void Wait_for_watcher();

    bool FClosePending = false;
    bool FSkipQuestion = false;
    // The close question is open; a termination signal meanwhile decides it.
    bool FAsking = false;
    bool FForceClose = false;
    bool FReleased = false;
};
