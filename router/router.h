// TRouter: the router's logic, owned by the window. It owns the loaded
// configuration, the command list, the tables of ports and terminals, the
// answer of the last run, the watcher and the run state, and speaks to the
// screen only through TRouterView. No Qt and no widget.
#pragma once
#include <array>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/settings.h"
#include "router/config_record.h"
#include "router/hlidac.h"
#include "router/view.h"

class TPorcio;
class TSer_Port;

// A failure that an operator's action reports in the application's error box.
class TRouterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the router stands in its life; one value, so no two flags can disagree.
enum class TRunState {
    Idle,              // lined up and waiting
    Running,           // a command run (or the line-up) uses terminals and ports
    RunningThenAsk,    // ... and the close question follows its end
    RunningThenClose,  // ... and the program closes at its end, without the question
    Closing,           // a close without the question is due
    Asking,            // the close question is open
    AskingForced,      // ... and a termination came meanwhile: it ends whatever the answer
    Released,          // terminals, ports and the watcher are gone
};

// What the window does with a close.
enum class TCloseStep {
    Ask,    // show the close question, then tell Close_answered
    Close,  // everything is released: let the window close
    Stay,   // the window stays (the answer was No, or a run must end first)
};

class TRouter {
public:
    explicit TRouter(TRouterView& view);
    // Releases in the proper order what a confirmed close has not.
    ~TRouter();
    TRouter(const TRouter&) = delete;
    TRouter& operator=(const TRouter&) = delete;

    // ---- start-up, in this order, with the window's own steps between

    // Loads the record from the registry (defaults when it cannot be read)
    // and derives the run-time settings.
    void ReadCFG();
    // Takes the working directory, once.
    void Read_work_dir();
    // Master_wait = 40 + the Delay_add selection's number.
    void Set_delay(uint32_t extra_ms);
    // "Start programu", then whatever ReadCFG found worth saying.
    void Log_start();
    // Ports, terminals, their tests, log lines and states; the warning when
    // no port opened.
    void Line_up();
    // The watcher of the request file named so in Work_dir, resumed at once.
    void Start_watcher(const std::string& request_name, THlidac::Handover handover,
                       int period_ms = THlidac::Period_ms, bool use_events = true);

    // ---- the operator's actions and the requests (the window's thread)

    // "Poslat příkaz": the line (code page 852) as a one-line command list.
    void Send_command(const std::string& line);
    // The log list is emptied, before the command file is chosen.
    void Clear_log();
    // "Načti příkazy ze souboru." once a file was chosen.
    void Run_command_file(const std::string& path);
    // "Test Master": recolours the indicators by a fresh link test.
    void Test_master();
    // "Uložit CFG": writes the record; false when the registry refused it.
    bool Save_config(const TDataCFG& record);
    // A request file handed over by the watcher; false when it must wait
    // for a run in progress (it stays in place), true when it is dealt with.
    bool Process_request(const std::string& path);
    // Reopens devices that failed and are there again; an idle port is asked
    // whether its device is still there. Never inside a run.
    void Revive_ports();

    // ---- the close

    // A close of the window; ask: the operator's (with the question), else a
    // termination (without it). A run in progress ends first.
    TCloseStep Close_requested(bool ask);
    TCloseStep Close_answered(bool yes);

    // ---- what it holds

    TRunState State() const { return FState; }
    bool Running() const;
    bool Released() const { return FState == TRunState::Released; }
    const TDataCFG& Data_CFG() const { return FData_CFG; }
    const TLinkSettings& Settings() const { return FSettings; }
    // The terminal of position n = 1..4 and the wrapper of COM index 0..7 (null when empty).
    TPorcio* Terminal(int n) const;
    TSer_Port* Port(int com_index) const;
    // The answer lines of the last run, bytes as the terminal sent them.
    const std::vector<std::string>& Answer() const { return FAnswer; }
    const std::vector<std::string>& Cmd_list() const { return FCmd_list; }
    const THlidac* Watcher() const { return FHlidac.get(); }
    // The output file's name as stored, as a file name of this system.
    std::string Output_name() const;

private:
    class RunScope;
    class CommandView;

    bool Begin_run(bool shown);
    void End_run(bool shown);
    void Release();

    TPorcio* Selected_terminal() const;
    bool Run_commands();
    bool Exchange_command(const std::string& line);
    void Split_record(const std::string& line);
    void Report_status(int a, int b);
    void Report_selected_status();
    // The output file in Work_dir; the reason when it cannot be written.
    std::optional<std::string> Save_output(const std::string& name);
    void Clear_answer();

    TRouterView& View;
    TRunState FState = TRunState::Idle;
    TDataCFG FData_CFG;
    TLinkSettings FSettings;
    std::vector<std::string> FCmd_list;
    // The command being exchanged; RunCommand may mark it with an 'E'.
    std::array<char, 255> Cmd_buffer{};
    std::array<std::unique_ptr<TSer_Port>, 8> Ports;
    std::array<std::unique_ptr<TPorcio>, 4> Terminals;
    std::vector<std::string> FAnswer;
    std::unique_ptr<THlidac> FHlidac;
    // Said in the log right after "Start programu", when there is a log.
    std::vector<std::string> FStartNotes;
    // That the exchanges cannot run at a raised priority is said once.
    bool FPriorityRefusalSaid = false;
};
