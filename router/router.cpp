#include "router/router.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/com_path.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "protocol/porcio.h"
#include "router/request_text.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"

namespace {

const char* const ValueName = "Data_CFG";
// A request is read whole up to this; anything larger is no request.
constexpr size_t Max_request_bytes = size_t(16) << 20;

// Local time as it goes into a file name: 20261208-141509.
std::string file_time_stamp() {
    const platform::LocalTime t = platform::local_time_now();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

TStoredValueKind kind_of(const platform::RegValue& v) {
    switch (v.type) {
    case platform::Reg_binary: return TStoredValueKind::Binary;
    case platform::Reg_sz: return TStoredValueKind::String;
    case platform::Reg_expand_sz: return TStoredValueKind::ExpandString;
    case platform::Reg_dword: return TStoredValueKind::Dword;
    default: return TStoredValueKind::Other;
    }
}

bool write_record(platform::RegistryStore& store, const TDataCFG& record) {
    const TConfigBytes bytes = encode_config(record);
    return store.write(platform::Setup_key, ValueName,
                       platform::RegValue{platform::Reg_binary, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

std::string system_error() { return std::strerror(errno); }

void log_driver_line(const std::string& line) { Log_error(line); }

// A command as the log names it: its head, printable, never long.
std::string command_head(const std::string& line) {
    constexpr size_t Head = 14;
    std::string head = line.substr(0, Head);
    for (char& c : head)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return line.size() > Head ? head + "..." : head;
}

}  // namespace

// What a command shows while it runs; its answer lines are the run's answer.
class TRouter::CommandView final : public TCommandView {
public:
    explicit CommandView(TRouter& r) : R(r) {}
    void ShowWriteAttempt(int attempt) override { R.View.ShowWriteAttempt(attempt); }
    void ShowReceived(int bytes) override { R.View.ShowReceived(bytes); }
    void AddLine(const std::string& line) override {
        R.FAnswer.push_back(line);
        R.View.AddLine(line);
    }
    int WriteAttempts() override { return R.View.WriteAttempts(); }

private:
    TRouter& R;
};

// One command run. Its serial waits run the window's events, so a close or a
// request that arrives meanwhile waits for its end.
class TRouter::RunScope {
public:
    // shown: the window shows the run (the line-up runs before it is shown).
    explicit RunScope(TRouter& r, bool shown = true) : R(r), FShown(shown), FBegun(r.Begin_run(shown)) {}
    ~RunScope() {
        if (FBegun) R.End_run(FShown);
    }
    explicit operator bool() const { return FBegun; }

private:
    TRouter& R;
    bool FShown;
    bool FBegun;
};

TRouter::TRouter(TRouterView& view) : View(view) {
    platform::clear_stop();
    set_driver_log(&log_driver_line);
}

TRouter::~TRouter() {
    // A router ended without a confirmed close (tests, a failed start) still
    // lets go of its terminals and ports in the proper order.
    if (FState != TRunState::Released) Release();
    set_driver_log(nullptr);
}

TPorcio* TRouter::Terminal(int n) const { return n >= 1 && n <= 4 ? Terminals[size_t(n - 1)].get() : nullptr; }

TSer_Port* TRouter::Port(int com_index) const {
    return com_index >= 0 && com_index < 8 ? Ports[size_t(com_index)].get() : nullptr;
}

bool TRouter::Running() const {
    return FState == TRunState::Running || FState == TRunState::RunningThenAsk ||
           FState == TRunState::RunningThenClose;
}

std::string TRouter::Output_name() const {
#ifdef _WIN32
    // Windows takes the stored bytes as they are: its file names are in the
    // ANSI code page, as the name was saved.
    return field_text(FData_CFG.OutSoubor);
#else
    return platform::cp1250_to_utf8(field_text(FData_CFG.OutSoubor));
#endif
}

// ---------------------------------------------------------------- start-up

void TRouter::ReadCFG() {
    platform::RegistryStore store;
    // A file that cannot be parsed at all would fail every save: it is kept
    // aside for the technician, and the program goes on as for an unreadable value.
    bool set_aside = false;
    if (store.damaged()) {
        const std::string aside = store.path() + ".poskozeny-" + file_time_stamp();
        set_aside = std::rename(store.path().c_str(), aside.c_str()) == 0;
        FStartNotes.push_back(set_aside ? "Poskozeny soubor konfigurace " + store.path() + " byl presunut do " + aside
                                        : "Poskozeny soubor konfigurace " + store.path() + " nelze presunout (" +
                                              system_error() + ")");
    }
    store.open_key(platform::Setup_key, true);
    bool unreadable = set_aside;
    const std::optional<platform::RegValue> value = store.read(platform::Setup_key, ValueName, &unreadable);
    const TReadOutcome outcome = value                     ? classify_stored_value(kind_of(*value), value->data.size())
                                 : unreadable || set_aside ? classify_stored_value(TStoredValueKind::ReadFailed, 0)
                                                           : TReadOutcome::NoValue;
    switch (outcome) {
    case TReadOutcome::NoValue:
        FData_CFG = TDataCFG{};
        break;
    case TReadOutcome::UseAsIs:
        FData_CFG = decode_config(value->data);
        break;
    case TReadOutcome::ReplaceByDefaults:
        FData_CFG = default_config();
        // Nowhere to report a failed write yet (no working directory); the
        // defaults still hold for this run and the write is tried next start.
        // A damaged file that could not be moved aside is not written over.
        if (!store.damaged()) write_record(store, FData_CFG);
        break;
    }
    const TDerivedSettings s = derive_settings(FData_CFG);
    FSettings = s.Link;
    bool connected = false;
    for (int n = 1; n <= 4; ++n) connected = connected || (FData_CFG.Pripojen(n) && FData_CFG.Port(n) < Ports.size());
    if (connected && s.Records != FData_CFG.Radku1)
        FStartNotes.push_back("Kapacita " + std::to_string(FData_CFG.Radku1) + " zaznamu je mimo rozsah 1 az " +
                              std::to_string(MaxRecords) + ", pouzije se " + std::to_string(s.Records));
}

void TRouter::Read_work_dir() { ::Read_work_dir(); }

void TRouter::Set_delay(uint32_t extra_ms) { FSettings.Master_wait = MasterWaitBase + extra_ms; }

void TRouter::Log_start() {
    Log_error("Start programu");
    // A router started in the wrong directory looks normal otherwise.
    Log_error("Pracovni adresar: " + Work_dir);
    for (const std::string& note : FStartNotes) Log_error(note);
}

void TRouter::Line_up() {
    // Serial waits dispatch window messages; a close meanwhile must wait.
    RunScope run(*this, false);
    std::array<bool, 8> marked{};
    for (int n = 1; n <= 4; ++n)
        if (FData_CFG.Pripojen(n) && FData_CFG.Port(n) < Ports.size()) marked[FData_CFG.Port(n)] = true;

    std::array<bool, 8> open{};
    for (size_t p = 0; p < Ports.size(); ++p) {
        if (!marked[p]) continue;
        Ports[p] = std::make_unique<TSer_Port>(static_cast<int>(p), FSettings.Baud_rate);
        open[p] = Ports[p]->Opened();
        // An opened port names its device, for the technician.
        if (open[p])
            Ports[p]->Log_opened();
        else
            Log_error("COM" + std::to_string(p + 1) + " neotevřen");
    }

    for (int n = 1; n <= 4; ++n) {
        const uint8_t p = FData_CFG.Port(n);
        if (!FData_CFG.Pripojen(n) || p >= Ports.size() || !open[p]) continue;
        Terminals[size_t(n - 1)] = std::make_unique<TPorcio>(Ports[p].get(), FData_CFG.Adr(n), FSettings);
        TPorcio* t = Terminals[size_t(n - 1)].get();
        const TTerminalState state = !t->TestLink() ? TTerminalState::Unreachable
                                     : t->IsMaster() ? TTerminalState::Master
                                                     : TTerminalState::Slave;
        View.ShowTerminal(n, state);
        Log_error("TERM " + std::to_string(n) +
                  (state == TTerminalState::Unreachable ? " NEPRIPOJEN"
                   : state == TTerminalState::Master    ? " MASTER"
                                                        : " SLAVE"));
    }
    Clear_answer();
    if (std::none_of(open.begin(), open.end(), [](bool o) { return o; })) {
        // Why, and how a technician links a port to its adapter.
        const bool any_marked = std::any_of(marked.begin(), marked.end(), [](bool m) { return m; });
        Log_error(std::string(any_marked ? "Porty pripojenych terminalu se neotevrely"
                                         : "V konfiguraci neni zadny terminal oznacen jako pripojeny") +
                  "; " + platform::how_to_link_port());
        View.NoPortWarning();
    }
}

void TRouter::Start_watcher(const std::string& request_name, THlidac::Handover handover, int period_ms,
                            bool use_events) {
    std::string path;
    const TNameClash clash = request_name_clash(request_name, Output_name());
    if (clash != TNameClash::None) {
        // Taking its own files as requests, the router would feed its answers
        // back to the terminal as commands.
        Log_error("Soubor pozadavku " + request_name +
                  (clash == TNameClash::Output ? " je i souborem vystupu" : " je souborem programu") +
                  ", pozadavky se nesleduji");
    } else if (!work_path(request_name.c_str(), path)) {
        // A path cut short would name another file: watch nothing instead.
        Log_error("Cesta k souboru pozadavku je prilis dlouha: " + Work_dir + "/" + request_name);
        path.clear();
    }
    FHlidac = std::make_unique<THlidac>(
        path, std::move(handover),
        [this](const std::string& p) {
            // Nothing may escape into the watcher, which waits for this.
            try {
                return Process_request(p);
            } catch (const std::exception& e) {
                Log_error(e.what());
                return true;
            }
        },
        period_ms, use_events);
    FHlidac->Resume();
}

// ---------------------------------------------------------------- runs

bool TRouter::Begin_run(bool shown) {
    if (FState != TRunState::Idle) return false;
    // A device unplugged and back is reopened before the run, not in it.
    Revive_ports();
    FState = TRunState::Running;
    if (shown) View.ShowRunning(true);
    return true;
}

void TRouter::End_run(bool shown) {
    platform::priority_run_ended();
    if (shown) View.ShowRunning(false);
    switch (FState) {
    case TRunState::RunningThenAsk:
        FState = TRunState::Idle;
        View.CloseNow();
        break;
    case TRunState::RunningThenClose:
        FState = TRunState::Closing;
        View.CloseNow();
        break;
    default:
        FState = TRunState::Idle;
        break;
    }
}

TPorcio* TRouter::Selected_terminal() const {
    const int i = View.SelectedTerminal();
    return i >= 0 && i < static_cast<int>(Terminals.size()) ? Terminals[size_t(i)].get() : nullptr;
}

void TRouter::Clear_answer() {
    FAnswer.clear();
    View.ClearLog();
}

void TRouter::Clear_log() { Clear_answer(); }

void TRouter::Report_status(int a, int b) {
    View.ShowStatus(a, b);
    Write_status(a, b);
}

void TRouter::Report_selected_status() {
    if (TPorcio* t = Selected_terminal())
        Report_status(t->Delivered(), t->Records());
    else
        Report_status(-1, -1);
}

std::optional<std::string> TRouter::Save_output(const std::string& name) {
    std::string path;
    if (!work_path(name.c_str(), path)) return "Cannot create file \"" + Work_dir + "/" + name + "\". Path too long";
    std::string text;
    for (const std::string& line : FAnswer) text += line + "\r\n";
    // The reader sees the whole answer or none of it.
    if (const int r = platform::replace_file(path, text); r < 0)
        return "Cannot create file \"" + path + "\". " + platform::error_text(r);
    return std::nullopt;
}

bool TRouter::Exchange_command(const std::string& line) {
    CommandView view(*this);
    TPorcio* t = nullptr;
    for (int k = 1; k <= View.ReadAttempts() && !platform::stop_requested(); ++k) {
        View.ShowReadAttempt(k);
        Cmd_buffer.fill(0);
        line.copy(Cmd_buffer.data(), std::min(line.size(), Cmd_buffer.size() - 1));
        // The selection is read afresh: the operator may change it in a wait.
        t = Selected_terminal();
        if (!t) return false;
        bool ok;
        {
            platform::ScopedHighPriority high(View.PrioritySet());
            if (!high.why().empty() && !FPriorityRefusalSaid) {
                Log_error("Prioritu komunikace s terminalem nelze zvysit: " + high.why());
                FPriorityRefusalSaid = true;
            }
            ok = t->RunCommand(Cmd_buffer.data(), view);
        }
        if (ok) return true;
        if (Cmd_buffer[0] != 'E') break;
        platform::wait_dispatching(10);
        // The terminal counted the command before its answer proved unusable.
        t->UncountDelivery();
    }
    // One line for the command, after its last attempt.
    if (t && !t->Failure().empty())
        Log_error("TERM " + std::to_string(View.SelectedTerminal() + 1) + ": prikaz " + command_head(line) + ": " +
                  t->Failure());
    return false;
}

void TRouter::Split_record(const std::string& line) {
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

bool TRouter::Run_commands() {
    TPorcio* t = Selected_terminal();
    if (!t) return false;
    if (!t->TestLink()) {
        Log_error("TERM " + std::to_string(View.SelectedTerminal() + 1) + " NEPRIPOJEN");
        return false;
    }
    t->ResetDelivered();
    for (size_t i = 0; i < FCmd_list.size() && !platform::stop_requested(); ++i) {
        const std::string line = FCmd_list[i];
        if (!line.empty()) {
            if (line.size() < kMinRecordLine)
                Exchange_command(line);
            else
                Split_record(line);
        }
        platform::wait_dispatching(1);
    }
    return true;
}

void TRouter::Send_command(const std::string& line) {
    TPorcio* t = Selected_terminal();
    if (!t) return;
    RunScope run(*this);
    if (!run || !t->TestLink()) return;
    t->ResetDelivered();
    Clear_answer();
    View.ClearRunLabels(true);
    FCmd_list.assign(1, line);
    Run_commands();
    if (auto err = Save_output(Output_name())) throw TRouterError(*err);
    Report_selected_status();
}

void TRouter::Run_command_file(const std::string& path) {
    RunScope run(*this);
    if (!run) return;
    if (TPorcio* t = Selected_terminal()) t->ResetDelivered();
    View.ShowBusy(true);
    FCmd_list.clear();
    Clear_answer();
    View.ClearRunLabels(true);
    std::string text;
    // The busy picture stays until the next action, as after any failed one.
    if (const int r = platform::read_regular_file(path, Max_request_bytes, text); r < 0)
        throw TRouterError("Cannot open file \"" + path + "\". " +
                           (r == -EINVAL ? std::string("Not a regular file") : platform::error_text(r)));
    FCmd_list = SplitRequestLines(text);
    Run_commands();
    if (auto err = Save_output(Output_name())) throw TRouterError(*err);
    Report_selected_status();
    View.ShowBusy(false);
}

void TRouter::Test_master() {
    RunScope run(*this);
    if (!run) return;
    for (int n = 1; n <= 4; ++n) {
        const uint8_t p = FData_CFG.Port(n);
        const bool wired = FData_CFG.Pripojen(n) && p < Ports.size() && Ports[p] && Ports[p]->Opened();
        TPorcio* t = Terminals[size_t(n - 1)].get();
        if (!wired || !t)
            View.ShowTerminal(n, TTerminalState::None);
        else if (!t->TestLink())
            View.ShowTerminal(n, TTerminalState::Unreachable);
        else
            View.ShowTerminal(n, t->IsMaster() ? TTerminalState::Master : TTerminalState::Slave);
    }
}

bool TRouter::Save_config(const TDataCFG& record) {
    platform::RegistryStore store;
    return store.open_key(platform::Setup_key, true) && write_record(store, record);
}

bool TRouter::Process_request(const std::string& path) {
    // A run in progress, or a close, keeps the request waiting: the file
    // stays in place and the watcher offers it again at its next look.
    if (FState != TRunState::Idle) return false;
    std::string text;
    const int r = platform::read_regular_file(path, Max_request_bytes, text);
    if (r == -ENOENT) return true;
    if (r < 0) {
        // Not a request: said, taken away and answered, so that it is not
        // offered again and the writer learns of it.
        Log_error("Soubor pozadavku " + path + " nelze pouzit: " +
                  (r == -EINVAL ? std::string("neni obycejny soubor")
                   : r == -EFBIG ? "je vetsi nez " + std::to_string(Max_request_bytes >> 20) + " MiB"
                                 : platform::error_text(r)));
        if (const int rm = platform::remove_file(path); rm < 0 && rm != -ENOENT)
            Log_error("Soubor pozadavku " + path + " nelze odstranit: " + platform::error_text(rm));
        Report_status(-1, -1);
        return true;
    }
    // Deleted before anything is sent: the writer may drop the next one. A
    // request that cannot be deleted would be found and run again and again:
    // it is not run at all.
    if (const int rm = platform::remove_file(path); rm < 0 && rm != -ENOENT) {
        Log_error("Soubor pozadavku " + path + " nelze smazat (" + platform::error_text(rm) +
                  "), pozadavek se neprovede");
        Report_status(-1, -1);
        return true;
    }

    RunScope run(*this);
    View.ShowBusy(true);
    FCmd_list.clear();
    Clear_answer();
    View.ClearRunLabels(false);
    FCmd_list = SplitRequestLines(text);

    if (FCmd_list.empty()) {
        View.ShowBusy(false);
        Report_status(-1, -1);
        return true;
    }
    if (IsSelectionLine(FCmd_list.front())) {
        View.SelectTerminal(SelectionIndex(FCmd_list.front()));
        View.ShowBusy(false);
        return true;
    }
    // This request's status counts this request only, also when nothing
    // could be sent.
    if (TPorcio* t = Selected_terminal()) t->ResetCounters();
    Run_commands();
    if (auto err = Save_output(Output_name())) {
        // A stale answer from the request before must not pass for this one's.
        Log_error(*err);
        Report_status(-1, -1);
    } else {
        Report_selected_status();
    }
    View.ShowBusy(false);
    return true;
}

void TRouter::Revive_ports() {
    if (Running()) return;
    // Revive also asks an idle port whether its device is still there.
    for (auto& port : Ports)
        if (port && port->Opened()) port->Revive();
}

// ---------------------------------------------------------------- close

TCloseStep TRouter::Close_requested(bool ask) {
    switch (FState) {
    case TRunState::Released:
        return TCloseStep::Close;
    case TRunState::Closing:
        Release();
        return TCloseStep::Close;
    case TRunState::Idle:
        if (ask) {
            FState = TRunState::Asking;
            return TCloseStep::Ask;
        }
        Release();
        return TCloseStep::Close;
    case TRunState::Running:
    case TRunState::RunningThenAsk:
        if (ask) {
            FState = TRunState::RunningThenAsk;
        } else {
            // The run sends nothing more and leaves its waits; the close follows its end.
            FState = TRunState::RunningThenClose;
            platform::request_stop();
        }
        return TCloseStep::Stay;
    case TRunState::RunningThenClose:
        return TCloseStep::Stay;
    case TRunState::Asking:
        // A termination while the question is open decides it.
        if (!ask) FState = TRunState::AskingForced;
        return TCloseStep::Stay;
    case TRunState::AskingForced:
        return TCloseStep::Stay;
    }
    return TCloseStep::Stay;
}

TCloseStep TRouter::Close_answered(bool yes) {
    if (FState == TRunState::AskingForced || (FState == TRunState::Asking && yes)) {
        Release();
        return TCloseStep::Close;
    }
    if (FState == TRunState::Asking) FState = TRunState::Idle;
    return TCloseStep::Stay;
}

void TRouter::Release() {
    if (FState == TRunState::Released) return;
    FState = TRunState::Released;
    if (FHlidac) FHlidac->Terminate();
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
    // The watcher may be blocked handing a request to this thread: keep
    // delivering those while waiting, or both would wait for ever.
    while (FHlidac && !FHlidac->Finished()) {
        platform::dispatch_pending_messages();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FHlidac.reset();
    FCmd_list.clear();
}
