// What a command run shows in the operator window and reads from it.
// The window implements it; tests implement it without Qt.
#pragma once
#include <string>

class TCommandView {
public:
    virtual ~TCommandView() = default;
    virtual void ShowWriteAttempt(int attempt) = 0;     // Label22
    virtual void ShowReceived(int bytes) = 0;           // Label4
    virtual void AddLine(const std::string& line) = 0;  // Memo1; bytes as decoded
    virtual int WriteAttempts() = 0;                    // Rep_write item index + 1; 0 when none selected
};
