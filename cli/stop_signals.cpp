#include "cli/stop_signals.h"

#include <pthread.h>

#include <ctime>

namespace qm::cli {

sigset_t StopSignals::signalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, s);
    return set;
}

StopSignals::StopSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    const sigset_t set = signalSet();
    pthread_sigmask(SIG_BLOCK, &set, &oldMask_);
    watcher_ = std::thread([this, set] {
        const timespec tick{0, 100'000'000};
        while (!done_) {
            const int s = sigtimedwait(&set, nullptr, &tick);
            if (s > 0 && received_ == 0) {
                received_ = s;
                if (onSignal_)
                    onSignal_(s);
            }
        }
    });
}

StopSignals::~StopSignals() {
    done_ = true;
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
}

} // namespace qm::cli
