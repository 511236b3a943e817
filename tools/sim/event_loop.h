// The one event loop of the simulator and of the receiver: an epoll set whose keys say what each
// descriptor is, a wait until a deadline on the monotonic clock, and SIGINT/SIGTERM taken as a
// request to end (through a signalfd, so no handler runs). It calls nothing: its owner asks it what
// is ready and hands that to the part the key names.
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "net/fd.h"

namespace vantrel::sim {

// What a descriptor in the epoll set is, for every part of the simulator and of the receiver: the
// loop reports readiness with this key, and the owner of the loop hands it to the part it names.
struct Key {
    enum class Source : std::uint8_t {
        Signals,       // the loop's own signalfd
        Script,        // standard input carrying the script
        UnixListener,  // the daemon side's listeners
        TcpListener,
        Client,        // a daemon client, by id
        Tunnel,        // a tunnel, by the id of the client it was
        StreamSource,  // standard input as the payload source of a stream
        Datagrams,     // a receiver socket, by its index
    };
    Source source = Source::Signals;
    std::uint64_t id = 0;

    friend bool operator==(const Key&, const Key&) = default;
};

// A descriptor that is ready, and for what (EPOLLIN, EPOLLOUT, ...).
struct Ready {
    Key key;
    std::uint32_t events = 0;
};

class EventLoop {
public:
    // Creates the epoll set and the signalfd; SIGPIPE is ignored from then on.
    std::expected<void, std::string> open();

    // Readiness of `fd` is reported with `key`. False when epoll refuses the descriptor (a regular
    // file, for one).
    bool watch(int fd, Key key, std::uint32_t events = EPOLLIN);
    void modify(int fd, Key key, std::uint32_t events);
    void unwatch(int fd);

    // Waits until a descriptor is ready, `deadline_ns` (monotonic) passes or a signal arrives; returns
    // the ready events (signals are taken in here, see `stopped`). Empty also after an epoll error.
    std::span<const Ready> wait(std::optional<std::uint64_t> deadline_ns);
    // True once SIGINT or SIGTERM arrived.
    bool stopped() const { return stopped_; }

private:
    static constexpr int MAX_EVENTS = 64;

    net::Fd epoll_, signals_;
    epoll_event events_[MAX_EVENTS]{};
    Ready ready_[MAX_EVENTS]{};
    bool stopped_ = false;
};

}  // namespace vantrel::sim
