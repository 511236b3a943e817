#include "main/interrupt.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace vantrel::app {
namespace {

// The one piece of process-wide state: a signal handler can reach nothing else.
sem_t g_interrupts;

extern "C" void on_sigint(int) {
    int saved = errno;
    ::sem_post(&g_interrupts);  // async-signal-safe
    errno = saved;
}

}  // namespace

net::IoResult<void> set_interrupt_handler(std::function<void()> callback) {
    if (::sem_init(&g_interrupts, 0, 0) != 0) return std::unexpected(net::IoError::last_os_error());
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // SIGTERM, which service managers send, ends the bridge as Ctrl+C does.
    for (int sig : {SIGINT, SIGTERM})
        if (::sigaction(sig, &sa, nullptr) != 0) return std::unexpected(net::IoError::last_os_error());
    // SIGINT (and SIGTERM) goes to "ctrl-c" alone: the calling thread blocks it, so every thread started from
    // here on (the forwarding threads among them) inherits the block and never has a call interrupted, and
    // "ctrl-c" unblocks it once it runs. A SIGINT that comes before that stays pending in the kernel instead
    // of landing on a thread that is still being set up.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr); rc != 0)
        return std::unexpected(net::IoError::from_errno(rc));
    try {
        std::thread([cb = std::move(callback), stop_signals] {
            ::pthread_setname_np(::pthread_self(), "ctrl-c");
            // Cannot fail: SIG_UNBLOCK with a valid set.
            (void)::pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
            for (;;) {
                // A wait that a signal interrupts is simply repeated.
                while (::sem_wait(&g_interrupts) != 0) {
                }
                cb();
            }
        }).detach();
    } catch (const std::system_error& e) {
        return std::unexpected(net::IoError::from_errno(e.code().value()));
    }
    return {};
}

}  // namespace vantrel::app
