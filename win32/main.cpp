// Program entry: one copy per user session, the window, the message loop.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "diag/diag.h"
#include "platform/dispatch.h"
#include "platform/instance_lock.h"
#include "serial/com_port.h"
#include "win32/dialogs.h"
#include "win32/form1.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The named mutex "Stravonprogram".
    platform::InstanceLock lock;
    if (!lock.acquire()) {
        if (lock.last_error() == EWOULDBLOCK) {
            win32::message_box(nullptr, "Tento program může být spuštěn pouze jednou!!!", "Varování", MB_ICONERROR);
            return -1;
        }
        // Running unguarded could put two routers on one line.
        Read_work_dir();
        Log_error("Zamek jedine kopie programu " + lock.path() + " nelze ziskat: " + std::strerror(lock.last_error()));
        return 1;
    }

    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    // Serial waits keep the window alive: they run its messages, a few
    // milliseconds at a time.
    platform::set_message_dispatcher(&Process_window_events);
    int rc = 0;
    try {
        TForm1 form(instance);
        MSG m;
        while (!form.Finished() && GetMessageW(&m, nullptr, 0, 0) > 0) Dispatch_window_message(m);
    } catch (const std::exception& e) {
        win32::show_error_box(nullptr, e.what());
        rc = 0;
    }
    platform::set_message_dispatcher(nullptr);
    close_all_ports();
    lock.release();
    return rc;
}
