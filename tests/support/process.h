// Runs a program as a child process with its standard streams on pipes, for tests that drive the
// real vantrel-usb, vantrel-sim, usbmuxd or libusbmuxd's tools.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::test {

using namespace std::chrono_literals;

class Child {
public:
    enum class Stream { Out, Err };
    // A stream that is a pipe full from the start and never read: a console that nobody reads.
    enum class Stalled { None, Out, Err };

    // Starts argv[0] (looked up in PATH when it has no slash) with stdin, stdout and stderr on
    // pipes. `env` entries ("NAME=value") are added to the environment.
    static Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                       Stalled stalled = Stalled::None);

    Child(Child&& other) noexcept;
    Child& operator=(Child&&) = delete;
    Child(const Child&) = delete;
    ~Child();  // kills (SIGKILL) and reaps a child that still runs

    pid_t pid() const { return pid_; }
    bool running();

    void write_stdin(std::string_view data);
    void close_stdin();
    void signal(int sig);

    // Reads output until `needle` has appeared in `stream` after byte `from` or `timeout` passes.
    bool wait_for(Stream stream, std::string_view needle, std::chrono::milliseconds timeout,
                  std::size_t from = 0);
    // Counts occurrences of `needle` in the output read so far.
    std::size_t count(Stream stream, std::string_view needle) const;
    // Reads output for `duration` (to collect what a program prints meanwhile).
    void pump_for(std::chrono::milliseconds duration);

    // Waits for the child to end, reading its output meanwhile. Returns the exit status, or
    // 128 + signal number when a signal ended it; nullopt when it still runs after `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    Child() = default;
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    int stalled_fd_ = -1;  // the read end of a stalled stream, held open and never read
    std::optional<int> status_;
    std::string out_, err_;
};

// Path of a program built by this project (vantrel-usb, vantrel-sim), from the build tree.
std::string built_program(std::string_view name);

// The built vantrel-usb, started with these arguments (and environment entries).
Child spawn_bridge(std::vector<std::string> args = {}, const std::vector<std::string>& env = {},
                   Child::Stalled stalled = Child::Stalled::None);

// Whether a program of that name is found in PATH.
bool in_path(const std::string& name);

// Waits until `path` exists (a daemon's socket, for example).
bool wait_for_path(const std::string& path, std::chrono::milliseconds timeout);

}  // namespace vantrel::test
