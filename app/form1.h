// TForm1: the operator window. It owns the router core and shows it; the
// handlers read the controls and call the core.
#pragma once
#include "app/dialogs.h"
#include "app/form_widgets.h"
#include "router/router.h"

#include <QColor>
#include <QList>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <memory>

namespace Ui {
class TForm1;
}
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QTimer;
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
    TRouter& Router() { return *FRouter; }
    const TRouter& Router() const { return *FRouter; }

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
    bool Process_request(const std::string& path) { return FRouter->Process_request(path); }
    // Ends the program like a confirmed close, without the question
    // (termination signals). A command run in progress ends first.
    void Close_without_question();

    bool Show_pending_set() const { return Show_pending; }
    // Ano to the restart question, and the close confirmed: the program
    // starts again once it has ended.
    bool Restart_pending() const { return FRestart; }
    // The note that the close waits for the running command.
    const QLabel* Close_note() const { return FCloseNote; }

    // Index of the selected item of an editable list, -1 when its text is not
    // one of the items (typed) or nothing is selected.
    static int combo_index(const QComboBox* box);

signals:
    // The close was confirmed and everything released: the program may end.
    void Closed();

protected:
    void closeEvent(QCloseEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    class View;

    void build_layout();
    void connect_handlers();
    void ShowCFG();
    // What each COM port leads to, in the tool tips.
    void Update_device_tips();
    // The working directory on the service tab and in the tray's tip.
    void Show_work_dir();
    // Says, or stops saying, that a close waits for the running command.
    void Show_close_note(bool on);
    void Update_tray_hint();
    // The number in a field; else the error names the field and the focus goes there.
    int32_t integer_field(QLineEdit* edit, const QString& field) const;

    TDialogs& Dialogs;
    std::unique_ptr<Ui::TForm1> FUi;
    QList<QPixmap> ImageList1;
    QMenu* FPopupMenu1 = nullptr;
    TStatusIcon* FStatusIcon1 = nullptr;
    TOpenFileRequest FOpenDialog1;
    QTimer* FReviveTimer = nullptr;
    std::array<TShape*, 4> Indicators{};
    // Show the window at its next paint (after the no-port warning).
    bool Show_pending = false;
    bool FRestart = false;
    QLabel* FCloseNote = nullptr;

    std::unique_ptr<View> FView;
    std::unique_ptr<TRouter> FRouter;
};
