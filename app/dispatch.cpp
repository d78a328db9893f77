// Command runs of the window: a typed command, a command file, the request
// files of the canteen information system, and the Test Master button.
#include "app/form1.h"
#include "app/hlidac.h"
#include "app/request_text.h"
#include "ui_form1.h"
#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/dispatch.h"
#include "platform/process.h"
#include "protocol/command_view.h"
#include "protocol/porcio.h"
#include "serial/ser_port.h"
#include "tray/status_icon.h"

#include <QApplication>
#include <QByteArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr int Memo1BytesRole = Qt::UserRole;

bool read_whole_file(const std::string& path, std::string& text) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    if (f.bad()) return false;
    text = ss.str();
    return true;
}

std::string system_error() { return std::strerror(errno); }

}  // namespace

// What a command shows in the window while it runs.
class TForm1::View final : public TCommandView {
public:
    explicit View(TForm1& f) : F(f) {}
    void ShowWriteAttempt(int attempt) override { F.FUi->Label22->setText(QString::number(attempt)); }
    void ShowReceived(int bytes) override { F.FUi->Label4->setText(QString::number(bytes)); }
    void AddLine(const std::string& line) override { F.Add_log_line(line); }
    int WriteAttempts() override { return F.Rep_write_attempts(); }

private:
    TForm1& F;
};

// Marks a command run. Its serial waits run the window's events, so whatever
// would start another run or open a box is off meanwhile; a close or a request
// that arrives in one of its waits waits for its end.
class TForm1::RunScope {
public:
    explicit RunScope(TForm1& f) : F(f) {
        // A device unplugged and back is reopened before the run, not in it.
        F.Revive_ports();
        F.FRunning = true;
        F.Enable_run_controls(false);
        F.setCursor(Qt::BusyCursor);
    }
    ~RunScope() {
        // Clicks made during the run reach the controls while they are still
        // off, and are dropped rather than run afterwards.
        QCoreApplication::processEvents();
        F.unsetCursor();
        F.Enable_run_controls(true);
        F.End_run();
    }

private:
    TForm1& F;
};

void TForm1::Enable_run_controls(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(FUi->Button1), static_cast<QWidget*>(FUi->Button3),
                       static_cast<QWidget*>(FUi->BitBtn2), static_cast<QWidget*>(FUi->BitBtn1)})
        w->setEnabled(on);
    // The list still picks a value; typing (which can end in a box) waits.
    if (QLineEdit* e = FUi->Delay_add->lineEdit()) e->setReadOnly(!on);
}

TPorcio* TForm1::Selected_terminal() const {
    const int i = FUi->Selekt->ItemIndex();
    return i >= 0 && i < static_cast<int>(Terminals.size()) ? Terminals[static_cast<size_t>(i)].get() : nullptr;
}

void TForm1::Add_log_line(const std::string& bytes) {
    // The list shows the line in the program's code page; the output file
    // gets its bytes unchanged.
    auto* item = new QListWidgetItem(QString::fromStdString(platform::cp1250_to_utf8(bytes)));
    item->setData(Memo1BytesRole, QByteArray(bytes.data(), static_cast<int>(bytes.size())));
    FUi->Memo1->addItem(item);
}

void TForm1::Clear_run_labels() {
    for (QLabel* l : {FUi->Label4, FUi->Lstatus, FUi->Label22, FUi->Label24}) l->clear();
}

void TForm1::Report_status(int a, int b) {
    FUi->Lstatus->setText(QStringLiteral("%1,%2").arg(a).arg(b));
    Write_status(a, b);
}

void TForm1::Report_selected_status() {
    if (TPorcio* t = Selected_terminal())
        Report_status(t->FDelivered, t->FRecords);
    else
        Report_status(-1, -1);
}

std::optional<std::string> TForm1::Save_output(const std::string& name) {
    FUi->Memo1->repaint();
    std::string path;
    if (!work_path(name.c_str(), path)) return "Cannot create file \"" + Work_dir + "/" + name + "\". Path too long";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return "Cannot create file \"" + path + "\". " + system_error();
    bool ok = true;
    for (int i = 0; i < FUi->Memo1->count(); ++i) {
        const QByteArray bytes = FUi->Memo1->item(i)->data(Memo1BytesRole).toByteArray();
        ok = ok && std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), f) == static_cast<size_t>(bytes.size());
        ok = ok && std::fwrite("\r\n", 1, 2, f) == 2;
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return "Cannot write file \"" + path + "\". " + system_error();
    return std::nullopt;
}

std::string TForm1::Output_name() const { return platform::cp1250_to_utf8(field_text(Data_CFG.OutSoubor)); }

bool TForm1::Exchange_command(const std::string& line) {
    View view(*this);
    for (int k = 1; k <= Rep_read_attempts() && !platform::stop_requested(); ++k) {
        FUi->Label24->setText(QString::number(k));
        Cmd_buffer.fill(0);
        line.copy(Cmd_buffer.data(), std::min(line.size(), Cmd_buffer.size() - 1));
        // The selection is read afresh: the operator may change it in a wait.
        TPorcio* t = Selected_terminal();
        if (!t) return false;
        bool ok;
        {
            platform::ScopedHighPriority high(Priority_set_checked());
            ok = t->RunCommand(Cmd_buffer.data(), view);
        }
        if (ok) return true;
        if (Cmd_buffer[0] != 'E') return false;
        platform::wait_dispatching(10);
        // The terminal counted the command before its answer proved unusable.
        t->FDelivered -= 1;
    }
    return false;
}

void TForm1::Split_record(const std::string& line) {
    std::string first, second;
    switch (::Split_record(line, first, second)) {
    case SplitResult::NotARecord:
        return;
    case SplitResult::TooLong:
        Log_error("Prilis dlouhy radek (" + std::to_string(line.size()) + " znaku) nebyl odeslan:");
        Log_long_line(line);
        return;
    case SplitResult::Split:
        Exchange_command(first);
        platform::wait_dispatching(1);
        Exchange_command(second);
        return;
    }
}

bool TForm1::Run_commands() {
    TPorcio* t = Selected_terminal();
    if (!t || !t->TestLink()) return false;
    t->FDelivered = 0;
    for (size_t i = 0; i < Cmd_list.size() && !platform::stop_requested(); ++i) {
        const std::string line = Cmd_list[i];
        if (!line.empty()) {
            if (line.size() < 98)
                Exchange_command(line);
            else
                Split_record(line);
        }
        platform::wait_dispatching(1);
    }
    return true;
}

void TForm1::Button1Click() {
    if (FRunning) return;
    TPorcio* t = Selected_terminal();
    if (!t) return;
    RunScope run(*this);
    if (!t->TestLink()) return;
    t->FDelivered = 0;
    FUi->Memo1->clear();
    Clear_run_labels();
    Cmd_list.assign(1, platform::utf8_to_cp852(FUi->Edit1->text().toStdString()));
    Run_commands();
    if (auto err = Save_output(Output_name())) throw TAppError(*err);
    Report_selected_status();
}

void TForm1::Button3Click() {
    if (FRunning) return;
    FUi->Memo1->clear();
    std::optional<QString> file = Dialogs.open_file(this, FOpenDialog1);
    if (!file) return;
    RunScope run(*this);
    if (TPorcio* t = Selected_terminal()) t->FDelivered = 0;
    FStatusIcon1->setIconIndex(1);
    Cmd_list.clear();
    FUi->Memo1->clear();
    Clear_run_labels();
    std::string text;
    const std::string path = file->toStdString();
    if (!read_whole_file(path, text)) throw TAppError("Cannot open file \"" + path + "\". " + system_error());
    Cmd_list = SplitRequestLines(text);
    Run_commands();
    if (auto err = Save_output(Output_name())) throw TAppError(*err);
    Report_selected_status();
    FStatusIcon1->setIconIndex(0);
}

void TForm1::BitBtn2Click() {
    if (FRunning) return;
    RunScope run(*this);
    for (int n = 1; n <= 4; ++n) {
        TShape* shape = Indicators[static_cast<size_t>(n - 1)];
        const uint8_t p = Data_CFG.Port(n);
        const bool wired = Data_CFG.Pripojen(n) && p < Ports.size() && Ports[p] && Ports[p]->FOpened;
        TPorcio* t = Terminals[static_cast<size_t>(n - 1)].get();
        if (!wired || !t) {
            shape->setBrushColor(colors::White);
        } else if (!t->TestLink()) {
            shape->setBrushColor(colors::Red);
        } else {
            shape->setBrushColor(t->IsMaster() ? colors::Lime : colors::Aqua);
        }
    }
}

void TForm1::Process_request(const std::string& path) {
    // A run in progress keeps its request waiting: the file stays in place
    // and the watcher offers it again at its next poll.
    if (FRunning || Released()) return;
    std::string text;
    if (!read_whole_file(path, text)) {
        if (FUnreadableRequest != path) {
            Log_error("Soubor pozadavku nelze cist: " + path + " (" + system_error() + ")");
            FUnreadableRequest = path;
        }
        return;
    }
    FUnreadableRequest.clear();

    RunScope run(*this);
    FStatusIcon1->setIconIndex(1);
    Cmd_list.clear();
    FUi->Memo1->clear();
    FUi->Label4->clear();
    FUi->Lstatus->clear();
    Cmd_list = SplitRequestLines(text);
    // Deleted before anything is sent: the writer may drop the next one.
    std::remove(path.c_str());

    if (Cmd_list.empty()) {
        FStatusIcon1->setIconIndex(0);
        Report_status(-1, -1);
        return;
    }
    if (IsSelectionLine(Cmd_list.front())) {
        FUi->Selekt->setItemIndex(SelectionIndex(Cmd_list.front()));
        FStatusIcon1->setIconIndex(0);
        return;
    }
    // This request's status counts this request only, also when nothing
    // could be sent.
    if (TPorcio* t = Selected_terminal()) {
        t->FDelivered = 0;
        t->FRecords = 0;
    }
    if (!Run_commands() && Selected_terminal())
        Log_error("TERM " + std::to_string(FUi->Selekt->ItemIndex() + 1) + " NEPRIPOJEN");
    if (auto err = Save_output(Output_name())) {
        // A stale answer from the request before must not pass for this one's.
        Log_error(*err);
        Report_status(-1, -1);
    } else {
        Report_selected_status();
    }
    FStatusIcon1->setIconIndex(0);
}

void TForm1::Start_watcher() {
    std::string path;
    const std::string name = FUi->InSoubor->text().toStdString();
    const TNameClash clash = request_name_clash(name, FUi->OutSoubor->text().toStdString());
    if (clash != TNameClash::None) {
        // Taking its own files as requests, the router would feed its answers
        // back to the terminal as commands.
        Log_error("Soubor pozadavku " + name + (clash == TNameClash::Output ? " je i souborem vystupu" : " je souborem programu") +
                  ", pozadavky se nesleduji");
    } else if (!work_path(name.c_str(), path)) {
        // A path cut short would name another file: watch nothing instead.
        Log_error("Cesta k souboru pozadavku je prilis dlouha: " + Work_dir + "/" + name);
        path.clear();
    }
    auto watcher = std::make_unique<THlidac>(path, this, [this](const std::string& p) {
        // No box here: the watcher waits for this hand-over, and a close
        // answered inside a box would wait for the watcher in turn.
        try {
            Process_request(p);
        } catch (const std::exception& e) {
            Log_error(e.what());
        }
    });
    watcher->Resume();
    Hlidac = std::move(watcher);
}
