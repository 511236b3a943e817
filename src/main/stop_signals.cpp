#include "main/stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace vantrel::app {

net::IoResult<StopSignals> StopSignals::install() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    // SIGTERM, which service managers send, ends the bridge as Ctrl+C does.
    sigaddset(&stop_signals, SIGTERM);
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr); rc != 0)
        return std::unexpected(net::IoError::from_errno(rc));
    net::Fd descriptor(::signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!descriptor) return std::unexpected(net::IoError::last_os_error());
    return StopSignals(std::move(descriptor));
}

std::size_t StopSignals::take() {
    std::size_t taken = 0;
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t n = ::read(fd_.get(), &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) {
            ++taken;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return taken;  // EAGAIN: nothing more pending
        }
    }
}

}  // namespace vantrel::app
