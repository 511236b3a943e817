#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;

void make_pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

Child Child::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   Stalled stalled) {
    int in[2], out[2], err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    if (stalled != Stalled::None) {
        // Fill the pipe while its write end is non-blocking, then hand it over blocking.
        const int write_end = stalled == Stalled::Out ? out[1] : err[1];
        ::fcntl(write_end, F_SETFL, O_NONBLOCK);
        const std::string filler(4096, '.');
        while (::write(write_end, filler.data(), filler.size()) > 0) {
        }
        ::fcntl(write_end, F_SETFL, 0);
    }
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) envs.emplace_back(*e);
    for (const auto& e : env) envs.push_back(e);
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        // A child of a test gets the default signal handling, whatever the test process has.
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvpe(cargv[0], cargv.data(), cenv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    Child c;
    c.pid_ = pid;
    c.in_ = in[1];
    (stalled == Stalled::Out ? c.stalled_fd_ : c.out_fd_) = out[0];
    (stalled == Stalled::Err ? c.stalled_fd_ : c.err_fd_) = err[0];
    return c;
}

Child::Child(Child&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      in_(std::exchange(o.in_, -1)),
      out_fd_(std::exchange(o.out_fd_, -1)),
      err_fd_(std::exchange(o.err_fd_, -1)),
      stalled_fd_(std::exchange(o.stalled_fd_, -1)),
      status_(o.status_),
      out_(std::move(o.out_)),
      err_(std::move(o.err_)) {}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
    for (int fd : {in_, out_fd_, err_fd_, stalled_fd_})
        if (fd >= 0) ::close(fd);
}

bool Child::running() {
    if (status_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

void Child::write_stdin(std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(in_, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to child's stdin failed");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Child::close_stdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void Child::signal(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

void Child::pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int n = ::poll(fds, 2, timeout_ms);
    if (n <= 0) return;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
        if (r > 0) {
            (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(r));
        } else if (r == 0) {
            ::close(fds[i].fd);
            (i == 0 ? out_fd_ : err_fd_) = -1;
        }
    }
}

bool Child::wait_for(Stream stream, std::string_view needle, std::chrono::milliseconds timeout,
                     std::size_t from) {
    auto deadline = Clock::now() + timeout;
    const std::string& text = stream == Stream::Out ? out_ : err_;
    for (;;) {
        if (text.size() > from && text.find(needle, from) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        if (out_fd_ < 0 && err_fd_ < 0) {
            std::this_thread::sleep_for(10ms);  // nothing left to read; just let time pass
            continue;
        }
        pump(std::min(remaining_ms(deadline), 50));
    }
}

std::size_t Child::count(Stream stream, std::string_view needle) const {
    const std::string& text = stream == Stream::Out ? out_ : err_;
    std::size_t n = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

void Child::pump_for(std::chrono::milliseconds duration) {
    auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline) {
        if (out_fd_ < 0 && err_fd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(remaining_ms(deadline)));
            break;
        }
        pump(std::min(remaining_ms(deadline), 50));
    }
}

std::optional<int> Child::wait_exit(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (!running()) {
            // Collect whatever the child wrote before it ended.
            while (out_fd_ >= 0 || err_fd_ >= 0) pump(100);
            return status_;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        if (out_fd_ < 0 && err_fd_ < 0)
            std::this_thread::sleep_for(5ms);
        else
            pump(std::min(remaining_ms(deadline), 20));
    }
}

std::string built_program(std::string_view name) {
    // Test binaries live in <build>/tests; programs in <build>/src/main and <build>/tools.
    std::string self(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    self.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    std::string build = self.substr(0, self.rfind('/'));
    build = build.substr(0, build.rfind('/'));
    for (const char* dir : {"/src/main/", "/tools/"}) {
        std::string candidate = build + dir + std::string(name);
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::string(name);
}

Child spawn_bridge(std::vector<std::string> args, const std::vector<std::string>& env,
                   Child::Stalled stalled) {
    args.insert(args.begin(), built_program("vantrel-usb"));
    return Child::spawn(args, env, stalled);
}

bool in_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool wait_for_path(const std::string& path, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace vantrel::test
