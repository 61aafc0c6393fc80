#include "cli/stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
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
    signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    watcher_ = std::thread([this, set] {
        auto take = [this](int s) {
            if (s > 0 && received_ == 0 && !done_) {
                received_ = s;
                if (onSignal_)
                    onSignal_(s);
            }
        };
        if (signalFd_ < 0) { // no descriptor to spare: poll the signals instead
            const timespec tick{0, 100'000'000};
            while (!done_)
                take(sigtimedwait(&set, nullptr, &tick));
            return;
        }
        // Waits for a signal or for the wake-up of the destructor, so that ending takes no time.
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        while (!done_) {
            if (::poll(fds, wakeFd_ < 0 ? 1 : 2, wakeFd_ < 0 ? 100 : -1) <= 0)
                continue;
            signalfd_siginfo info{};
            if ((fds[0].revents & POLLIN) && ::read(signalFd_, &info, sizeof info) == sizeof info)
                take(static_cast<int>(info.ssi_signo));
        }
    });
}

StopSignals::~StopSignals() {
    done_ = true;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
    }
    watcher_.join();
    for (int fd : {signalFd_, wakeFd_})
        if (fd >= 0)
            ::close(fd);
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
}

} // namespace qm::cli
