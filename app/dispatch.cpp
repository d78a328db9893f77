// Command runs of the window: a typed command, a command file, the request
// files of the canteen information system, and the Test Master button.
#include "app/form1.h"
#include "app/hlidac.h"
#include "app/request_text.h"
#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/process.h"
#include "protocol/command_view.h"
#include "protocol/porcio.h"
#include "serial/ser_port.h"
#include "tray/status_icon.h"

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

// What a command shows in the window while it runs.
class TForm1View final : public TCommandView {
public:
    explicit TForm1View(TForm1& f) : F(f) {}
    void ShowWriteAttempt(int attempt) override { F.Label22->setText(QString::number(attempt)); }
    void ShowReceived(int bytes) override { F.Label4->setText(QString::number(bytes)); }
    void AddLine(const std::string& line) override { F.Add_log_line(line); }
    int WriteAttempts() override { return F.Rep_write_attempts(); }

private:
    TForm1& F;
};

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

// Marks a command run: the buttons that start runs are off, and a close or a
// request that arrives inside one of its serial waits waits for its end.
class TForm1::RunScope {
public:
    explicit RunScope(TForm1& f) : F(f) {
        F.FRunning = true;
        F.Enable_run_buttons(false);
    }
    ~RunScope() {
        F.Enable_run_buttons(true);
        F.End_run();
    }

private:
    TForm1& F;
};

TPorcio* TForm1::Selected_terminal() const {
    const int i = Selekt->ItemIndex();
    return i >= 0 && i < static_cast<int>(Terminals.size()) ? Terminals[static_cast<size_t>(i)].get() : nullptr;
}

void TForm1::Enable_run_buttons(bool on) {
    for (QPushButton* b : {Button1, Button3, BitBtn2}) b->setEnabled(on);
}

void TForm1::Add_log_line(const std::string& bytes) {
    // The list shows the line; the output file gets its bytes unchanged.
    auto* item = new QListWidgetItem(QString::fromLatin1(bytes.data(), static_cast<int>(bytes.size())));
    item->setData(Memo1BytesRole, QByteArray(bytes.data(), static_cast<int>(bytes.size())));
    Memo1->addItem(item);
}

void TForm1::Clear_run_labels() {
    for (QLabel* l : {Label4, Lstatus, Label22, Label24}) l->clear();
}

void TForm1::Report_status(int a, int b) {
    Lstatus->setText(QStringLiteral("%1,%2").arg(a).arg(b));
    Write_status(a, b);
}

void TForm1::Report_selected_status() {
    if (TPorcio* t = Selected_terminal())
        Report_status(t->FDelivered, t->FRecords);
    else
        Report_status(-1, -1);
}

std::optional<std::string> TForm1::Save_output(const std::string& name) {
    Memo1->repaint();
    std::string path;
    if (!work_path(name.c_str(), path)) return "Cannot create file \"" + Work_dir + "/" + name + "\". Path too long";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return "Cannot create file \"" + path + "\". " + system_error();
    bool ok = true;
    for (int i = 0; i < Memo1->count(); ++i) {
        const QByteArray bytes = Memo1->item(i)->data(Memo1BytesRole).toByteArray();
        ok = ok && std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), f) == static_cast<size_t>(bytes.size());
        ok = ok && std::fwrite("\r\n", 1, 2, f) == 2;
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return "Cannot write file \"" + path + "\". " + system_error();
    return std::nullopt;
}

std::string TForm1::Output_name() const { return platform::cp1250_to_utf8(field_text(Data_CFG.OutSoubor)); }

bool TForm1::Exchange_command(const std::string& line) {
    TForm1View view(*this);
    for (int k = 1; k <= Rep_read_attempts(); ++k) {
        Label24->setText(QString::number(k));
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
        platform::Sleep(10);
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
        Log_error_bytes(line);
        return;
    case SplitResult::Split:
        Exchange_command(first);
        platform::Sleep(1);
        Exchange_command(second);
        return;
    }
}

void TForm1::Run_commands() {
    TPorcio* t = Selected_terminal();
    if (!t || !t->TestLink()) return;
    t->FDelivered = 0;
    for (size_t i = 0; i < Cmd_list.size(); ++i) {
        const std::string line = Cmd_list[i];
        if (!line.empty()) {
            if (line.size() < 98)
                Exchange_command(line);
            else
                Split_record(line);
        }
        platform::Sleep(1);
    }
}

void TForm1::Button1Click() {
    if (FRunning) return;
    TPorcio* t = Selected_terminal();
    if (!t) return;
    RunScope run(*this);
    if (!t->TestLink()) return;
    t->FDelivered = 0;
    Memo1->clear();
    Clear_run_labels();
    Cmd_list.assign(1, platform::utf8_to_cp852(Edit1->text().toStdString()));
    Run_commands();
    if (auto err = Save_output(Output_name())) throw TAppError(*err);
    Report_selected_status();
}

void TForm1::Button3Click() {
    if (FRunning) return;
    Memo1->clear();
    std::optional<QString> file = Dialogs.open_file(this, OpenDialog1);
    if (!file) return;
    RunScope run(*this);
    if (TPorcio* t = Selected_terminal()) t->FDelivered = 0;
    StatusIcon1->setIconIndex(1);
    Cmd_list.clear();
    Memo1->clear();
    Clear_run_labels();
    std::string text;
    const std::string path = file->toStdString();
    if (!read_whole_file(path, text)) throw TAppError("Cannot open file \"" + path + "\". " + system_error());
    Cmd_list = SplitRequestLines(text);
    Run_commands();
    if (auto err = Save_output(Output_name())) throw TAppError(*err);
    Report_selected_status();
    StatusIcon1->setIconIndex(0);
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
    StatusIcon1->setIconIndex(1);
    Cmd_list.clear();
    Memo1->clear();
    Label4->clear();
    Lstatus->clear();
    Cmd_list = SplitRequestLines(text);
    // Deleted before anything is sent: the writer may drop the next one.
    std::remove(path.c_str());

    if (Cmd_list.empty()) {
        StatusIcon1->setIconIndex(0);
        Report_status(-1, -1);
        return;
    }
    if (IsSelectionLine(Cmd_list.front())) {
        Selekt->setItemIndex(SelectionIndex(Cmd_list.front()));
        StatusIcon1->setIconIndex(0);
        return;
    }
    Run_commands();
    if (auto err = Save_output(Output_name())) Log_error(*err);
    Report_selected_status();
    StatusIcon1->setIconIndex(0);
}

void TForm1::Start_watcher() {
    std::string path;
    const std::string name = InSoubor->text().toStdString();
    if (!work_path(name.c_str(), path)) {
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
