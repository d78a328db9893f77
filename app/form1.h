// TForm1: the operator window and the owner of everything that lives for the run.
#pragma once
#include "app/config_record.h"
#include "app/dialogs.h"
#include "app/form_widgets.h"
#include "app/watcher.h"

#include <QColor>
#include <QList>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Ui {
class TForm1;
}
class QComboBox;
class QMenu;
class QTimer;
class TPorcio;
class TSer_Port;
class TStatusIcon;

namespace colors {
inline const QColor White(255, 255, 255);
inline const QColor Red(255, 0, 0);
inline const QColor Lime(0, 255, 0);
inline const QColor Aqua(0, 255, 255);
} // namespace colors

// Runs the window thread's pending events for at most max_ms (0: one pass);
// the program's serial waits dispatch through it. Elsewhere it does nothing.
void Process_window_events(int max_ms);

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Runs the whole start-up sequence, the terminal line-up included.
    explicit TForm1(TDialogs& dialogs, QWidget* parent = nullptr);
    ~TForm1() override;

    // The controls, by the names of the form description.
    const Ui::TForm1& ui() const { return *FUi; }
    QMenu* PopupMenu1() const { return FPopupMenu1; }
    TStatusIcon* StatusIcon1() const { return FStatusIcon1; }
    const TOpenFileRequest& OpenDialog1() const { return FOpenDialog1; }
    // Status indicator of position n = 1..4.
    TShape* Indicator(int n) const;

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

    // A request file handed over by the watcher.
    void Process_request(const std::string& path);

    // Ends the program like a confirmed close, without the question
    // (termination signals). A command run in progress ends first.
    void Close_without_question();

    // What the run-time tables hold: the terminal of position n = 1..4 and the
    // port wrapper of COM index 0..7 (null when empty).
    TPorcio* Terminal(int n) const;
    TSer_Port* Port(int com_index) const;
    const TDataCFG& Loaded_config() const { return Data_CFG; }
    bool Running() const { return FRunning; }
    bool Show_pending_set() const { return Show_pending; }
    bool Released() const { return FReleased; }

    // Index of the selected item of an editable list, -1 when its text is not
    // one of the items (typed) or nothing is selected.
    static int combo_index(const QComboBox* box);
    // Read at every use: maximum attempts (0 when nothing is selected).
    int Rep_read_attempts() const;
    int Rep_write_attempts() const;
    bool Priority_set_checked() const;

signals:
    // The close was confirmed and everything released: the program may end.
    void Closed();

protected:
    void closeEvent(QCloseEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    class RunScope;
    class View;

    // Start-up.
    void build_layout();
    void connect_handlers();
    void ReadCFG();
    void ShowCFG();
    void Line_up();
    void Start_watcher();

    // Command dispatch.
    // False when nothing could be sent (no terminal, or it did not answer).
    bool Run_commands();
    bool Exchange_command(const std::string& line);
    void Split_record(const std::string& line);
    // The output file in Work_dir; the reason when it cannot be written.
    std::optional<std::string> Save_output(const std::string& name);
    void Report_status(int a, int b);
    void Report_selected_status();
    TPorcio* Selected_terminal() const;
    // Adds an answer line to Memo1; the output file gets its bytes unchanged.
    void Add_log_line(const std::string& bytes);
    void Clear_run_labels();
    void Enable_run_controls(bool on);
    std::string Output_name() const;

    // Reopens devices that failed and are there again; shows what each COM port is.
    void Revive_ports();
    void Update_device_tips();
    void End_run();
    void Release_all();
    void Wait_for_watcher();

    TDialogs& Dialogs;
    std::unique_ptr<Ui::TForm1> FUi;
    QList<QPixmap> ImageList1;
    QMenu* FPopupMenu1 = nullptr;
    TStatusIcon* FStatusIcon1 = nullptr;
    TOpenFileRequest FOpenDialog1;
    QTimer* FReviveTimer = nullptr;
    std::array<TShape*, 4> Indicators{};

    // Owned for the run.
    TDataCFG Data_CFG;
    std::vector<std::string> Cmd_list;
    std::array<std::unique_ptr<TSer_Port>, 8> Ports;
    std::array<std::unique_ptr<TPorcio>, 4> Terminals;
    std::unique_ptr<TWatcherThread> Hlidac;
    // The command being exchanged; RunCommand may mark it with an 'E'.
    std::array<char, 255> Cmd_buffer{};

    // Said in the log right after "Start programu", when there is a log.
    std::vector<std::string> FStartNotes;
    bool Show_pending = false;
    // Set while a command run (or the line-up) uses terminals and ports.
    bool FRunning = false;
    // A request file that could not be read is logged once, not every poll.
    std::string FUnreadableRequest;
    bool FClosePending = false;
    bool FSkipQuestion = false;
    // The close question is open; a termination signal meanwhile decides it.
    bool FAsking = false;
    bool FForceClose = false;
    bool FReleased = false;
};
