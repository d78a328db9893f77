#include "router/hlidac.h"

#include "platform/process.h"

THlidac::THlidac(std::string path, Handover handover, Handler handler, int period_ms, bool use_events)
    : FPath(std::move(path)),
      FHandover(std::move(handover)),
      FHandler(std::move(handler)),
      FPeriod(period_ms),
      FWatch(FPath, use_events, period_ms) {}

THlidac::~THlidac() {
    Terminate();
    if (FThread.joinable()) FThread.join();
}

void THlidac::Resume() {
    if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

void THlidac::Terminate() {
    FTerminated = true;
    FWatch.wake();
}

void THlidac::Execute() {
    platform::name_this_thread("hlidac");
    // One step below normal, as far as the system lets a thread have it.
    platform::lower_this_thread();
    // A file that could not be taken away is not offered again until it changes.
    platform::RequestIdentity left;
    while (!FTerminated) {
        ++FLooks;
        const platform::RequestLook look = FWatch.look();
        const bool offer = (look.state == platform::RequestState::Ready ||
                            look.state == platform::RequestState::NotAFile) &&
                           !(look.identity == left);
        if (offer) {
            bool dealt = false;
            // Blocks until the window's thread has processed the request.
            FHandover([&] { dealt = FHandler(FPath); });
            if (dealt) {
                if (FWatch.look().identity == look.identity) left = look.identity;
                // The writer may put the next request in place as soon as this
                // one has gone: look again at once.
                continue;
            }
            // Not taken (a command run was on): offered again after a pause.
            FWatch.wait(FPeriod);
            continue;
        }
        // A file that is settling is looked at more often.
        FWatch.wait(look.state == platform::RequestState::Writing ? FPeriod / 5 : FPeriod);
    }
    FFinished = true;
}
