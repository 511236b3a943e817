// The simulator: the daemon side (usbmuxd's protocol on a Unix socket and/or a TCP address) and the
// app side (the simulated devices and their ports), driven by script commands, in one epoll loop.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/fd.h"
#include "sim/command.h"
#include "sim/event_loop.h"
#include "sim/generator.h"
#include "sim/out_buffer.h"

namespace vantrel::sim {

inline constexpr std::string_view DEFAULT_UNIX_PATH = "/var/run/usbmuxd";
inline constexpr std::string_view DEFAULT_TCP_ADDRESS = "127.0.0.1:27015";

struct SimConfig {
    std::optional<std::string> unix_path{DEFAULT_UNIX_PATH};
    std::optional<std::string> tcp_address{DEFAULT_TCP_ADDRESS};
    std::vector<Command> startup;                              // from the options: only errors are printed
    std::vector<std::pair<std::uint64_t, Command>> scheduled;  // --at: milliseconds after the start
    std::vector<Command> script;                               // --script-file
    bool script_stdin = false;                                 // --script
    std::optional<std::uint64_t> duration_ms;
    bool feedback_events = false;
    bool quiet = false;
    bool progress = false;
};

class Simulator {
public:
    explicit Simulator(SimConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds the listeners; the error text says which one failed and why.
    std::expected<void, std::string> start();
    // Runs until quit, end of the script input, --duration or SIGINT/SIGTERM; returns the exit status.
    int run();

private:
    // epoll keys of the fixed descriptors; connections use their own ids, from 100 up.
    static constexpr std::uint64_t ID_UNIX = 1, ID_TCP = 2, ID_STDIN = 3, ID_SOURCE = 5;

    struct Stats {
        std::uint64_t sent = 0, bytes = 0, feedback = 0, feedback_bytes = 0, health = 0;
    };
    struct PortState {
        bool listening = false;
        std::uint64_t refuse_until_ns = 0;
        HealthMode health = HealthMode::Answer;
        std::uint64_t late_ms = 0;  // late: the delay of the answer; split: of its second half
        std::vector<std::uint8_t> health_reply{0xFE, 0x00, 0x01};
        bool raw = false;
        bool echo = false;
        std::optional<StreamSettings> autostream;
        std::uint64_t tunnel = 0;  // id of the current tunnel, 0 when none
        Stats stats;               // of the current tunnel, or of the last one
    };
    struct Device {
        std::uint32_t id = 0;
        std::string serial;
        std::map<std::uint16_t, PortState> ports;
    };
    // A client of the daemon side; after a successful Connect the same socket is a tunnel.
    struct Conn {
        std::uint64_t id = 0;
        net::Fd fd;
        bool tcp = false;
        bool dead = false;
        bool want_write = false;
        bool reading = true;  // off: the app leaves what the bridge writes in the socket
        std::vector<std::uint8_t> in;
        OutBuffer out;
        // Tunnel state.
        bool tunnel = false;
        std::uint32_t device = 0;
        std::uint16_t port = 0;
        bool frames_seen = false;
        bool silent = false;
        bool closing = false;
        std::unique_ptr<Generator> gen;
        std::uint64_t gen_reported_sent = 0, gen_reported_bytes = 0;
        std::uint64_t last_fill_ns = 0;
    };
    struct Queued {
        std::expected<Command, std::string> command;
        bool quiet = false;
    };
    struct Pending {
        Command command;
        bool quiet = false;
        std::uint64_t deadline_ns = 0;
        std::uint64_t tunnel = 0;
    };

    // simulator.cpp: output, timers, the loop and the commands.
    void emit(std::string_view line);
    void event(std::string_view text);
    void flush_output();
    void add_timer(std::uint64_t when_ns, std::function<void()> fn);
    void run_commands();
    std::optional<std::string> execute(const Command& c, bool quiet, std::uint64_t now);
    std::optional<std::string> check_pending(std::uint64_t now);
    void reply(const std::string& text, bool quiet);
    void read_stdin();
    void push_line(std::string_view line);
    std::optional<std::uint64_t> next_wakeup_ns() const;  // monotonic time of the next due work
    void print_progress(std::uint64_t now);
    Device* find_device(std::uint32_t id);
    PortState* find_port(std::uint32_t device, std::uint16_t port);
    PortState& port_state(Device& device, std::uint16_t port);
    Conn* tunnel_of(std::uint32_t device, std::uint16_t port);
    Conn* conn(std::uint64_t id);
    std::uint32_t plug(const std::string& serial);
    void unplug(std::uint32_t id);

    // daemon.cpp: listeners and the usbmuxd protocol.
    std::expected<void, std::string> listen_unix(const std::string& path);
    std::expected<void, std::string> listen_tcp(const std::string& address);
    void accept_clients(int listen_fd, bool tcp);
    void on_daemon_readable(Conn& c);
    void handle_request(Conn& c, std::uint32_t version, std::uint32_t tag,
                        std::span<const std::uint8_t> payload);
    void handle_connect(Conn& c, std::uint32_t tag, void* request);
    void handle_list_devices(Conn& c, std::uint32_t tag);
    bool answer_connect(Conn& c, std::uint32_t tag, std::uint64_t number);
    void send_result(Conn& c, std::uint32_t tag, std::uint64_t number, bool partial = false);
    void send_plist(Conn& c, std::uint32_t tag, void* plist, bool binary, bool partial = false);
    void send_payload(Conn& c, std::uint32_t tag, std::span<const std::uint8_t> payload,
                      bool partial = false);

    // app.cpp: tunnels, frames, generators and faults.
    void become_tunnel(Conn& c, Device& device, std::uint16_t port);
    void on_tunnel_readable(Conn& c);
    void process_tunnel_input(Conn& c);
    void on_frame(Conn& c, std::span<const std::uint8_t> payload);
    void answer_health(Conn& c, const PortState& ps);
    void start_autostream(Conn& c);
    std::expected<void, std::string> start_stream(Conn& c, const StreamSettings& settings);
    void service(Conn& c, std::uint64_t now);
    void account(Conn& c);
    void drop_generator(Conn& c);
    void apply_fault(Conn& c, FaultKind kind);
    void close_conn(Conn& c);
    void set_want_write(Conn& c, bool want);
    void set_reading(Conn& c, bool on);
    void watch_conn(Conn& c);
    void watch_source(const FileSource& source);

    SimConfig config_;
    EventLoop loop_;
    net::Fd unix_listener_, tcp_listener_;
    std::string bound_unix_path_;
    bool feedback_events_;
    ListReply list_reply_ = ListReply::Normal;
    std::uint32_t list_length_ = 16;  // badlength: the length field; nested: the depth
    ConnectReply connect_reply_ = ConnectReply::Normal;

    std::map<std::uint32_t, Device> devices_;
    std::uint32_t next_device_id_ = 1;
    std::map<std::uint64_t, std::unique_ptr<Conn>> conns_;
    std::uint64_t next_conn_id_ = 100;
    std::vector<std::uint64_t> dead_;

    std::deque<Queued> queue_;
    std::optional<Pending> pending_;
    std::string stdin_text_;
    bool stdin_open_ = false;
    std::shared_ptr<FileSource> stdin_source_;
    bool stdin_source_watched_ = false;
    std::string output_;
    std::uint64_t start_ns_ = 0;
    bool quit_ = false;
};

}  // namespace vantrel::sim
