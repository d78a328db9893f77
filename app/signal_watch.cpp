#include "app/signal_watch.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipe_fds[2] = {-1, -1};

extern "C" void on_termination_signal(int sig)
{
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(pipe_fds[1], &b, 1);
    errno = saved;
}

} // namespace

TSignalWatch::TSignalWatch(QObject* parent) : QObject(parent)
{
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    FNotifier = new QSocketNotifier(pipe_fds[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TSignalWatch::drain);
    struct sigaction sa {};
    sa.sa_handler = on_termination_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

TSignalWatch::~TSignalWatch()
{
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    if (pipe_fds[0] >= 0) {
        delete FNotifier;
        FNotifier = nullptr;
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        pipe_fds[0] = pipe_fds[1] = -1;
    }
}

void TSignalWatch::drain()
{
    unsigned char b = 0;
    int last = 0;
    while (::read(pipe_fds[0], &b, 1) == 1)
        last = b;
    if (last) {
        FReceived = last;
        emit terminationRequested(last);
    }
}
