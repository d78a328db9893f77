// What the router shows in its window and reads from it. Each window (Qt,
// Win32) implements it; tests implement it in a few lines.
#pragma once
#include "protocol/command_view.h"

// What a terminal position's status indicator shows.
enum class TTerminalState {
    None,         // not lined up: white
    Unreachable,  // TestLink failed: red
    Master,       // reachable behind a polling master: lime green
    Slave,        // reachable on a quiet line: aqua
};

class TRouterView : public TCommandView {
public:
    // Memo1 is emptied.
    virtual void ClearLog() = 0;
    // Label4 and Lstatus emptied; with attempts also Label22 and Label24.
    virtual void ClearRunLabels(bool attempts) = 0;
    virtual void ShowReadAttempt(int attempt) = 0;            // Label24
    virtual void ShowStatus(int delivered, int records) = 0;  // Lstatus, "%d,%d"
    // The tray's busy picture (1) or the idle one (0).
    virtual void ShowBusy(bool busy) = 0;
    // A command run begins or ends: whatever starts a run or opens a box is
    // off meanwhile.
    virtual void ShowRunning(bool running) = 0;
    virtual void ShowTerminal(int position, TTerminalState state) = 0;  // position 1..4
    // No port opened at the line-up: the configuration tab, the warning, the
    // window shown.
    virtual void NoPortWarning() = 0;
    // A selection request chose this Selekt index (-1: none).
    virtual void SelectTerminal(int index) = 0;
    // A close that waited for the end of a run is due now.
    virtual void CloseNow() = 0;

    // Read at every use.
    virtual int SelectedTerminal() = 0;  // Selekt item index, -1 when none
    virtual int ReadAttempts() = 0;      // Rep_read item index + 1; 0 when none selected
    virtual bool PrioritySet() = 0;      // Priority_set ticked
};
