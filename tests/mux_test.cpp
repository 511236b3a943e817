#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mux/client.h"
#include "mux/connect.h"
#include "mux/devices.h"
#include "mux/mux_error.h"
#include "mux/reply.h"
#include "net/fd.h"
#include "net/io.h"
#include "net/plist.h"
#include "net/wire.h"
#include "support/hostile_replies.h"
#include "support/namespace.h"
#include "support/sockets.h"

using namespace vantrel;
using namespace vantrel::mux;
using namespace std::chrono_literals;
namespace hostile = vantrel::test::hostile;
using hostile::repeated;
using hostile::xml_plist;

namespace {

// ---- Messages and property lists ----

std::string le32(std::uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    return out;
}

std::string header(std::uint32_t length, std::uint32_t version = 1, std::uint32_t type = 8,
                   std::uint32_t tag = 1) {
    return le32(length) + le32(version) + le32(type) + le32(tag);
}

std::string message(std::string_view payload) {
    return header(static_cast<std::uint32_t>(payload.size() + 16)) + std::string(payload);
}

std::string xml_dict(std::string_view entries) {
    return xml_plist("<dict>" + std::string(entries) + "</dict>");
}

net::Plist parse_xml(std::string_view xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    return net::Plist(root);
}

std::string binary_of(std::string_view xml) {
    net::Plist root = parse_xml(xml);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &bin, &length);
    std::string out(bin, length);
    plist_to_bin_free(bin);
    return out;
}

// A dictionary {"k": [[...]]} of 1 + `arrays` levels, each array holding `fan_out` references to
// the next one (so shared by all of them).
std::string binary_nested(std::uint32_t arrays, std::uint32_t fan_out) {
    auto ref = [](std::uint32_t index) { return hostile::be(index, 4); };
    std::vector<std::string> objects = {"\xD1" + ref(1) + ref(2), "\x51k"};
    for (std::uint32_t i = 0; i < arrays; ++i) {
        const bool last = i + 1 == arrays;
        std::string array(1, static_cast<char>(0xA0 | (last ? 0 : fan_out)));
        for (std::uint32_t j = 0; !last && j < fan_out; ++j) array += ref(3 + i);
        objects.push_back(array);
    }
    return hostile::binary_objects(objects, 4);
}

MuxResult<Reply> parse(std::string_view payload) {
    return parse_response_payload(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
}

// A request dictionary read back from its XML, as the Request type that produced it.
Request request_of(std::string_view xml) {
    net::Plist root = parse_xml(xml);
    Request out;
    if (root == nullptr || plist_get_node_type(root.get()) != PLIST_DICT) return out;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root.get(), &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), it, &key, &value);
        if (key == nullptr) break;
        if (plist_get_node_type(value) == PLIST_UINT) {
            std::uint64_t n = 0;
            plist_get_uint_val(value, &n);
            out[key] = n;
        } else {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            out[key] = std::string(text != nullptr ? text : "<not a string>");
            free(text);
        }
        free(key);
    }
    free(it);
    return out;
}

std::string device_list(std::string_view entries) {
    return xml_dict("<key>DeviceList</key><array>" + std::string(entries) + "</array>");
}
std::string entry(std::string_view properties) {
    return "<dict><key>Properties</key><dict>" + std::string(properties) + "</dict></dict>";
}
std::string id(std::string_view value) {
    return "<key>DeviceID</key><integer>" + std::string(value) + "</integer>";
}
std::string serial(std::string_view value) {
    return "<key>SerialNumber</key><string>" + std::string(value) + "</string>";
}

std::vector<DeviceInfo> devices_of(std::string_view payload) {
    auto root = parse(payload);
    EXPECT_TRUE(root) << root.error().display();
    return root ? device_infos(DeviceList(std::move(*root))) : std::vector<DeviceInfo>{};
}

std::int64_t code_of(std::string_view payload) {
    auto root = parse(payload);
    EXPECT_TRUE(root) << root.error().display();
    return root ? connect_result_code(*root) : 0;
}

// ---- Sockets and a stand-in daemon ----

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vantrel-mux-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string path(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

net::Fd listen_unix(const std::string& path, int backlog = 8) {
    net::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    EXPECT_EQ(::listen(fd.get(), backlog), 0);
    return fd;
}

net::Fd listen_tcp(std::uint16_t port = 0, int backlog = 8) {
    net::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    EXPECT_EQ(::listen(fd.get(), backlog), 0);
    return fd;
}

std::uint16_t local_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

std::string tcp_address(int listener) {
    return "127.0.0.1:" + std::to_string(local_port(listener));
}

// A loopback port with nothing listening on it (bound a moment ago, then released).
std::string closed_tcp_address() {
    net::Fd fd = listen_tcp();
    return tcp_address(fd.get());
}

// Accepts one connection and runs `session` on it, in a thread of its own.
class TestDaemon {
public:
    TestDaemon(net::Fd listener, std::function<void(int)> session)
        : thread_([listener = std::move(listener), session = std::move(session)] {
              pollfd p{listener.get(), POLLIN, 0};
              if (::poll(&p, 1, 10'000) != 1) return;
              net::Fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
              if (conn) session(conn.get());
          }) {}
    ~TestDaemon() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

struct ReceivedRequest {
    std::uint32_t length = 0, version = 0, type = 0, tag = 0;
    std::string payload;
};

std::uint32_t u32_at(const std::uint8_t* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

net::IoResult<void> receive_whole(int fd, std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    return net::recv_resume(fd, buffer, filled);
}

ReceivedRequest receive_request(int fd) {
    ReceivedRequest r;
    std::uint8_t h[16];
    if (!receive_whole(fd, h)) return r;
    r.length = u32_at(h);
    r.version = u32_at(h + 4);
    r.type = u32_at(h + 8);
    r.tag = u32_at(h + 12);
    r.payload.resize(r.length >= 16 ? r.length - 16 : 0);
    (void)receive_whole(fd, std::span(reinterpret_cast<std::uint8_t*>(r.payload.data()), r.payload.size()));
    return r;
}

void send_text(int fd, std::string_view text) {
    (void)net::send_all(fd, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string receive_text(int fd, std::size_t size) {
    std::string out(size, '\0');
    auto got = receive_whole(fd, std::span(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
    return got ? out : "<receive failed: " + got.error().text() + ">";
}

// Everything the peer sends until it closes (5 s at most).
std::string receive_until_closed(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return out + "<still open>";
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

bool peer_closed(int fd) {
    return receive_until_closed(fd).empty();
}

// A daemon that reads the request, answers `reply` and records whether the client then closed
// (or, with `hang_up`, closes at once itself).
struct ScriptedDaemon {
    ReceivedRequest request;
    bool closed_after_reply = false;
    TestDaemon daemon;

    ScriptedDaemon(net::Fd listener, std::string reply, bool hang_up = false)
        : daemon(std::move(listener), [this, reply = std::move(reply), hang_up](int fd) {
              request = receive_request(fd);
              send_text(fd, reply);
              if (!hang_up) closed_after_reply = peer_closed(fd);
          }) {}
};

// Sends `bytes` to a client that reads one response, then closes; returns the response and the client.
struct Exchange {
    std::optional<MuxClient> client;
    MuxResult<Reply> response;
};

Exchange exchange(std::string bytes) {
    TempDir dir;
    DaemonAddress address{dir.path("mux"), closed_tcp_address()};
    TestDaemon daemon(listen_unix(address.unix_path), [bytes](int fd) { send_text(fd, bytes); });
    auto client = MuxClient::connect(address);
    if (!client) return {std::nullopt, std::unexpected(client.error())};
    auto response = client->read_response();
    daemon.join();
    return {std::move(*client), std::move(response)};
}

// Bytes still waiting on the client's socket (its daemon has closed by now).
std::string unread(const Exchange& e) {
    return e.client ? receive_until_closed(e.client->fd()) : "<no client>";
}

bool close_on_exec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, level, name, &value, &len) != 0) return -1;
    return value;
}

bool has_no_timeouts(int fd) {
    for (int name : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        timeval tv{1, 1};
        socklen_t len = sizeof tv;
        if (::getsockopt(fd, SOL_SOCKET, name, &tv, &len) != 0 || tv.tv_sec != 0 || tv.tv_usec != 0)
            return false;
    }
    return true;
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace

// ---- MuxError ----

TEST(MuxError, DisplaysEachVariantWithItsText) {
    EXPECT_EQ(MuxError::io(net::IoError::from_errno(ECONNREFUSED)).display(),
              "I/O error: Connection refused (os error 111)");
    EXPECT_EQ(MuxError::io(net::IoError(net::ErrorKind::UnexpectedEof, net::MSG_FILL_WHOLE_BUFFER)).display(),
              "I/O error: failed to fill whole buffer");
    EXPECT_EQ(MuxError::protocol("Invalid payload length").display(),
              "Protocol error: Invalid payload length");
    EXPECT_EQ(MuxError::refused(3).display(), "Device refused connection (code 3)");
    EXPECT_EQ(MuxError::refused(-2).display(), "Device refused connection (code -2)");
    EXPECT_EQ(MuxError::refused(std::numeric_limits<std::int64_t>::min()).display(),
              "Device refused connection (code -9223372036854775808)");
}

// ---- Connecting ----

TEST(MuxClientConnect, ReportsTheTcpErrorWhenNoDaemonListens) {
    REQUIRE_PRIVATE_NAMESPACE();
    auto client = MuxClient::connect();
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().variant(), MuxError::Variant::Io);
    EXPECT_EQ(client.error().io_error().raw_os_error(), ECONNREFUSED);
    EXPECT_EQ(client.error().display(), "I/O error: Connection refused (os error 111)");

    auto devices = list_devices();
    ASSERT_FALSE(devices);
    EXPECT_EQ(devices.error().display(), "I/O error: Connection refused (os error 111)");
    auto stream = connect_device(1, 5000);
    ASSERT_FALSE(stream);
    EXPECT_EQ(stream.error().display(), "I/O error: Connection refused (os error 111)");
}

TEST(MuxClientConnect, FallsBackToTcpWhenTheUnixSocketIsMissing) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::string greeting;
    TestDaemon daemon(listen_tcp(27015), [&](int fd) { greeting = receive_text(fd, 5); });
    auto client = MuxClient::connect();
    ASSERT_TRUE(client) << client.error().display();
    EXPECT_EQ(client->kind(), ConnectionKind::Tcp);
    EXPECT_TRUE(close_on_exec(client->fd()));
    EXPECT_TRUE(has_no_timeouts(client->fd()));
    EXPECT_EQ(int_option(client->fd(), IPPROTO_TCP, TCP_NODELAY), 0);
    send_text(client->fd(), "hello");
    daemon.join();
    EXPECT_EQ(greeting, "hello");
}

TEST(MuxClientConnect, PrefersTheUnixSocketAndFallsBackFromAStaleOne) {
    TempDir dir;
    net::Fd tcp = listen_tcp();
    DaemonAddress address{dir.path("mux"), tcp_address(tcp.get())};
    {
        TestDaemon daemon(listen_unix(address.unix_path), [](int) {});
        auto client = MuxClient::connect(address);
        ASSERT_TRUE(client) << client.error().display();
        EXPECT_EQ(client->kind(), ConnectionKind::Unix);
        EXPECT_TRUE(close_on_exec(client->fd()));
        EXPECT_TRUE(has_no_timeouts(client->fd()));
        pollfd p{tcp.get(), POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 0), 0) << "the TCP address was tried too";
    }
    // The socket file outlives its listener: connecting to it is refused, and TCP takes over.
    ASSERT_TRUE(std::filesystem::exists(address.unix_path));
    auto client = MuxClient::connect(address);
    ASSERT_TRUE(client) << client.error().display();
    EXPECT_EQ(client->kind(), ConnectionKind::Tcp);
}

TEST(MuxClientConnect, UsesUnixPathsUpToTheSocketAddressLimit) {
    TempDir dir;
    std::string longest = dir.path("");
    longest.append(sizeof(sockaddr_un{}.sun_path) - 1 - longest.size(), 'p');
    DaemonAddress address{longest, closed_tcp_address()};
    TestDaemon daemon(listen_unix(longest), [](int) {});
    auto client = MuxClient::connect(address);
    ASSERT_TRUE(client) << client.error().display();
    EXPECT_EQ(client->kind(), ConnectionKind::Unix);

    // One byte more cannot be a socket address: the Unix attempt fails and TCP is tried.
    auto too_long = MuxClient::connect({longest + "p", closed_tcp_address()});
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().display(), "I/O error: Connection refused (os error 111)");
}

namespace {

// Runs MuxClient::connect on a thread of its own against a daemon whose backlog is full: the connect
// must wait (not fail, not fall back) until `listener` accepts, or, with `interrupt`, give way at
// once when the interrupt descriptor becomes readable.
MuxResult<MuxClient> connect_to_full_backlog(DaemonAddress address, int listener, bool interrupt) {
    auto [interrupt_fd, trigger] = test::unix_stream_pair();
    address.interrupt_fd = interrupt_fd.get();
    std::atomic<bool> done{false};
    std::optional<MuxResult<MuxClient>> result;
    std::thread client([&] {
        result.emplace(MuxClient::connect(address));
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done) << "the connect did not wait for the full backlog";
    const auto woken = std::chrono::steady_clock::now();
    if (interrupt) {
        send_text(trigger.get(), "!");
        client.join();
        EXPECT_LT(std::chrono::steady_clock::now() - woken, 1s) << "the interrupt was not seen at once";
        return std::move(*result);
    }
    std::vector<net::Fd> accepted;
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         !done && std::chrono::steady_clock::now() < deadline;) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 100) == 1)
            accepted.emplace_back(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    }
    client.join();
    return std::move(*result);
}

// Fills a Unix listener's backlog; what keeps it full is returned.
std::vector<net::Fd> fill_unix_backlog(const std::string& path) {
    std::vector<net::Fd> fillers;
    for (;;) {
        net::Fd filler(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(filler.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) break;
        fillers.push_back(std::move(filler));
    }
    return fillers;
}

}  // namespace

TEST(MuxClientConnect, WaitsForAFullUnixBacklogAndGivesWayToTheInterrupt) {
    for (const bool interrupt : {false, true}) {
        TempDir dir;
        DaemonAddress address{dir.path("mux"), closed_tcp_address()};
        net::Fd listener = listen_unix(address.unix_path, 0);
        const auto fillers = fill_unix_backlog(address.unix_path);
        auto client = connect_to_full_backlog(address, listener.get(), interrupt);
        if (!interrupt) {
            ASSERT_TRUE(client) << client.error().display();
            EXPECT_EQ(client->kind(), ConnectionKind::Unix);
        } else {
            ASSERT_FALSE(client);
            // Given up, not handed to the TCP fallback (whose refusal would show instead).
            EXPECT_EQ(client.error().display(), "I/O error: interrupted");
        }
    }
}

TEST(MuxClientConnect, WaitsForAStalledTcpHandshakeAndGivesWayToTheInterrupt) {
    for (const bool interrupt : {false, true}) {
        TempDir dir;
        net::Fd listener = listen_tcp(0, 0);
        DaemonAddress address{dir.path("missing"), tcp_address(listener.get())};
        // Fill the accept queue: further handshakes stall until it has room again (SYNs are dropped).
        std::vector<net::Fd> fillers;
        for (int i = 0; i < 8; ++i) {
            net::Fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(local_port(listener.get()));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(filler.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            pollfd p{filler.get(), POLLOUT, 0};
            bool stalled = ::poll(&p, 1, 300) == 0;
            fillers.push_back(std::move(filler));
            if (stalled) break;
        }
        auto client = connect_to_full_backlog(address, listener.get(), interrupt);
        if (!interrupt) {
            ASSERT_TRUE(client) << client.error().display();
            EXPECT_EQ(client->kind(), ConnectionKind::Tcp);
        } else {
            ASSERT_FALSE(client);
            EXPECT_EQ(client.error().io_error().kind(), net::ErrorKind::Interrupted);
        }
    }
}

// ---- Requests ----

TEST(SendRequest, WritesTheHeaderThenExactlyTheXmlPayload) {
    TempDir dir;
    DaemonAddress address{dir.path("mux"), closed_tcp_address()};
    ReceivedRequest got;
    std::string after;
    TestDaemon daemon(listen_unix(address.unix_path), [&](int fd) {
        got = receive_request(fd);
        after = receive_until_closed(fd);
    });
    {
        auto client = MuxClient::connect(address);
        ASSERT_TRUE(client) << client.error().display();
        Request request{{"MessageType", std::string("Ping")}, {"Count", std::uint64_t{4294967295}}};
        auto sent = client->send_request(request, 7);
        ASSERT_TRUE(sent) << sent.error().display();
    }
    daemon.join();
    EXPECT_EQ(got.length, got.payload.size() + 16);
    EXPECT_EQ(got.version, 1u);
    EXPECT_EQ(got.type, 8u);
    EXPECT_EQ(got.tag, 7u);
    EXPECT_EQ(after, "") << "bytes beyond the announced length";
    EXPECT_TRUE(got.payload.starts_with(R"(<?xml version="1.0" encoding="UTF-8"?>)")) << got.payload;
    EXPECT_NE(got.payload.find("<plist version=\"1.0\">\n<dict>\n\t<key>"), std::string::npos) << got.payload;
    EXPECT_NE(got.payload.find("<integer>4294967295</integer>"), std::string::npos) << got.payload;
    EXPECT_TRUE(got.payload.ends_with("</plist>\n")) << got.payload;
    EXPECT_EQ(request_of(got.payload),
              (Request{{"MessageType", std::string("Ping")}, {"Count", std::uint64_t{4294967295}}}));
}

TEST(ListDevices, SendsTheListRequestWithTag1AndClosesAfterTheReply) {
    TempDir dir;
    DaemonAddress address{dir.path("mux"), closed_tcp_address()};
    ScriptedDaemon daemon(
        listen_unix(address.unix_path),
        message(device_list(entry(id("3") + serial("A1")) + entry(id("4") + serial("B2")))));
    auto devices = list_devices(address);
    daemon.daemon.join();
    ASSERT_TRUE(devices) << devices.error().display();
    EXPECT_EQ(device_infos(*devices), (std::vector<DeviceInfo>{{3, "A1"}, {4, "B2"}}));
    EXPECT_EQ(daemon.request.length, daemon.request.payload.size() + 16);
    EXPECT_EQ(daemon.request.version, 1u);
    EXPECT_EQ(daemon.request.type, 8u);
    EXPECT_EQ(daemon.request.tag, 1u);
    EXPECT_EQ(request_of(daemon.request.payload),
              (Request{{"MessageType", std::string("ListDevices")},
                       {"ClientVersionString", std::string("vantrel-companion")},
                       {"ProgName", std::string("vantrel-companion")}}));
    EXPECT_TRUE(daemon.closed_after_reply);
}

TEST(ConnectDevice, SendsTheConnectRequestWithTag2AndSwappedPort) {
    struct Case {
        std::uint32_t device_id;
        std::uint16_t port;
        std::uint64_t port_number;
    };
    for (Case c : {Case{7, 5000, 34835}, Case{4294967295, 4242, 37392}}) {
        TempDir dir;
        DaemonAddress address{dir.path("mux"), closed_tcp_address()};
        ScriptedDaemon daemon(listen_unix(address.unix_path),
                              message(xml_dict("<key>MessageType</key><string>Result</string>"
                                               "<key>Number</key><integer>0</integer>")));
        auto stream = connect_device(c.device_id, c.port, address);
        ASSERT_TRUE(stream) << stream.error().display();
        stream->fd.reset();
        daemon.daemon.join();
        EXPECT_EQ(daemon.request.length, daemon.request.payload.size() + 16);
        EXPECT_EQ(daemon.request.version, 1u);
        EXPECT_EQ(daemon.request.type, 8u);
        EXPECT_EQ(daemon.request.tag, 2u);
        EXPECT_EQ(request_of(daemon.request.payload),
                  (Request{{"MessageType", std::string("Connect")},
                           {"DeviceID", std::uint64_t{c.device_id}},
                           {"PortNumber", c.port_number},
                           {"ClientVersionString", std::string("vantrel-companion")},
                           {"ProgName", std::string("vantrel-companion")}}));
    }
    static_assert(net::swap_port(5000) == 34835 && net::swap_port(4242) == 37392);
}

// ---- Responses ----

TEST(ReadResponse, RejectsLengthsOf16AndBelowWithoutReadingFurther) {
    for (std::uint32_t length : {16u, 15u, 0u}) {
        Exchange e = exchange(header(length) + "rest");
        ASSERT_FALSE(e.response) << length;
        EXPECT_EQ(e.response.error().display(), "Protocol error: Invalid payload length");
        EXPECT_EQ(unread(e), "rest");
    }
}

TEST(ReadResponse, AcceptsAMillionBytePayloadAndRejectsOneByteMore) {
    std::string empty = xml_dict("<key>Pad</key><string></string>");
    std::string padded =
        xml_dict("<key>Pad</key><string>" + std::string(1'000'000 - empty.size(), 'x') + "</string>");
    ASSERT_EQ(padded.size(), 1'000'000u);
    Exchange ok = exchange(message(padded));
    ASSERT_TRUE(ok.response) << ok.response.error().display();
    const auto pad = ok.response->find(ok.response->root(), "Pad");
    ASSERT_TRUE(pad);
    EXPECT_EQ(ok.response->string(*pad).value_or("").size(), 1'000'000 - empty.size());

    Exchange too_big = exchange(header(1'000'017) + "first payload bytes");
    ASSERT_FALSE(too_big.response);
    EXPECT_EQ(too_big.response.error().display(), "Protocol error: Invalid payload length");
    EXPECT_EQ(unread(too_big), "first payload bytes");
}

TEST(ReadResponse, FailsWhenTheDaemonClosesMidMessage) {
    std::string payload = xml_dict("<key>Number</key><integer>0</integer>");
    for (std::string bytes :
         {header(100).substr(0, 8), message(payload).substr(0, 16 + payload.size() / 2)}) {
        Exchange e = exchange(bytes);
        ASSERT_FALSE(e.response);
        EXPECT_EQ(e.response.error().variant(), MuxError::Variant::Io);
        EXPECT_EQ(e.response.error().io_error().kind(), net::ErrorKind::UnexpectedEof);
        EXPECT_EQ(e.response.error().display(), "I/O error: failed to fill whole buffer");
    }
}

// A daemon that does not accept (its backlog is full), accepts and never answers, or announces more
// than it sends: each request gives up at its deadline with one text, and leaves nothing open.
TEST(DaemonRequests, GiveUpWhenTheDaemonDoesNotAnswerInTime) {
    using namespace std::chrono_literals;
    const std::string no_answer = "I/O error: no answer from usbmuxd within 5 s";
    const std::size_t descriptors = open_descriptors();
    auto timed = [](auto request) {
        const auto start = std::chrono::steady_clock::now();
        auto result = request();
        return std::pair(std::move(result), std::chrono::steady_clock::now() - start);
    };
    {
        TempDir dir;
        DaemonAddress address{dir.path("mux"), closed_tcp_address(), 300ms};
        net::Fd listener = listen_unix(address.unix_path, 0);
        std::vector<net::Fd> queued;  // connections the daemon never accepts, until no more fit
        for (int i = 0; i < 64; ++i) {
            net::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, address.unix_path.c_str(), sizeof addr.sun_path - 1);
            if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) break;
            queued.push_back(std::move(fd));
        }
        auto [client, took] = timed([&] { return MuxClient::connect(address); });
        ASSERT_FALSE(client.has_value());
        EXPECT_EQ(client.error().display(), no_answer) << "the TCP fallback's refusal hid the wedged daemon";
        EXPECT_LT(took, 3s);
    }
    for (const std::string& reply : {std::string(), message(xml_dict("")).substr(0, 30)}) {
        net::Fd listener = listen_tcp();
        DaemonAddress address{"/nonexistent/mux", tcp_address(listener.get()), 300ms};
        TestDaemon daemon(std::move(listener), [&reply](int fd) {
            (void)receive_request(fd);
            send_text(fd, reply);
            peer_closed(fd);  // holds the connection until the client lets go
        });
        auto [devices, took] = timed([&] { return list_devices(address); });
        ASSERT_FALSE(devices.has_value());
        EXPECT_EQ(devices.error().display(), no_answer) << reply.size() << " bytes of reply";
        EXPECT_LT(took, 3s);
        daemon.join();
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(ReadResponse, RejectsPayloadsThatAreNotPropertyLists) {
    Exchange xml = exchange(message("this is not a property list"));
    ASSERT_FALSE(xml.response);
    EXPECT_EQ(xml.response.error().display(),
              "Protocol error: Failed to parse plist: invalid XML property list");
    Exchange bin = exchange(message("bplist00 and then nonsense that is no trailer"));
    ASSERT_FALSE(bin.response);
    EXPECT_EQ(bin.response.error().display(),
              "Protocol error: Failed to parse plist: invalid binary property list");
}

TEST(ReadResponse, RejectsRootsThatAreNotDictionaries) {
    for (std::string payload : {binary_of(xml_plist("<array><integer>1</integer></array>")),
                                xml_plist("<string>DeviceList</string>")}) {
        Exchange e = exchange(message(payload));
        ASSERT_FALSE(e.response);
        EXPECT_EQ(e.response.error().display(), "Protocol error: Response is not a dictionary");
    }
}

TEST(ReadResponse, TakesAnyTagVersionAndTypeAndBothPlistForms) {
    std::string payload = xml_dict("<key>Number</key><integer>5</integer>");
    std::string binary = binary_of(payload);
    ASSERT_TRUE(binary.starts_with("bplist00"));
    for (std::string bytes : {header(static_cast<std::uint32_t>(payload.size() + 16), 2, 1, 99) + payload,
                              header(static_cast<std::uint32_t>(binary.size() + 16), 0, 0, 0) + binary}) {
        Exchange e = exchange(bytes + "tail");
        ASSERT_TRUE(e.response) << e.response.error().display();
        EXPECT_EQ(connect_result_code(*e.response), 5);
        EXPECT_EQ(unread(e), "tail");
    }
}

TEST(ParsePayload, TurnsAwayListsNestedDeeperThanTheLimit) {
    const std::string too_deep = "Protocol error: Property list nested too deeply";
    // 100,000 levels, on which libplist's reader alone recursed until the stack ran out.
    const std::string xml_100k =
        xml_dict("<key>k</key>" + repeated("<array>", 99'999) + repeated("</array>", 99'999));
    for (const std::string& payload : {binary_nested(99'999, 1), xml_100k}) {
        auto root = parse(payload);
        ASSERT_FALSE(root);
        EXPECT_EQ(root.error().display(), too_deep);
    }
    // 100 levels that share each next one twice: 2^100 paths, each object measured once.
    auto shared = parse(binary_nested(99, 2));
    ASSERT_FALSE(shared);
    EXPECT_EQ(shared.error().display(), too_deep);
    // An array that holds itself is left to libplist, which finds the cycle. (A string from the bare
    // literal would stop at its first zero byte: a reference past the end, not a cycle.)
    auto cycle = parse(hostile::binary_objects({std::string("\xA1\0\0\0\0", 5)}, 4));
    ASSERT_FALSE(cycle);
    EXPECT_EQ(cycle.error().display(), "Protocol error: Failed to parse plist: invalid binary property list");

    // Exactly at the limit both forms parse, one level more is too deep. An empty array is a level of
    // its own; arrays in comments, processing instructions and CDATA are none.
    const std::uint32_t at_limit = MAX_PLIST_DEPTH - 1;  // arrays below the root dictionary
    auto xml_nested = [](std::uint32_t arrays) {
        return xml_dict("<key>k</key>" + repeated("<array>", arrays - 1) +
                        "<array/><array /><!-- <array> --><?pi <array> ?>"
                        "<string><![CDATA[<array>]]></string>" +
                        repeated("</array>", arrays - 1));
    };
    for (const std::string& payload :
         {binary_nested(at_limit, 1), xml_nested(at_limit), binary_nested(5, 2)}) {
        auto root = parse(payload);
        ASSERT_TRUE(root) << root.error().display();
        EXPECT_EQ(root->find(root->root(), "k").value_or(PlistValue{}).kind, ValueKind::Array);
    }
    for (const std::string& payload : {binary_nested(at_limit + 1, 1), xml_nested(at_limit + 1)}) {
        auto root = parse(payload);
        ASSERT_FALSE(root);
        EXPECT_EQ(root.error().display(), too_deep);
    }
    // usbmuxd's device list nests 4 deep.
    const std::string list = device_list(entry(id("3") + serial("00008030-001A2D3C0E12802E")));
    for (const std::string& payload : {list, binary_of(list)})
        EXPECT_EQ(devices_of(payload), (std::vector<DeviceInfo>{{3, "00008030-001A2D3C0E12802E"}}));
}

TEST(ParsePayload, ReadsSharedObjectsOnceAndTurnsAwayOverlapsThatOutnumberTheBytes) {
    // 24 levels sharing each next one twice: 300 bytes that libplist built into 2^24 nodes.
    auto shared = parse(binary_nested(24, 2));
    ASSERT_TRUE(shared) << shared.error().display();
    EXPECT_EQ(shared->find(shared->root(), "k").value_or(PlistValue{}).kind, ValueKind::Array);

    // Many names (offset-table entries) for one array of as many references: more references to
    // read than the list has bytes, which only objects that overlap achieve.
    auto overlapping = parse(hostile::overlapping_aliases(100));
    ASSERT_FALSE(overlapping);
    EXPECT_EQ(overlapping.error().display(),
              "Protocol error: Failed to parse plist: property list too large");
}

TEST(ParsePayload, ReadsEveryByteOfAStringAsLibplistWritesIt) {
    // usbmuxd writes strings with libplist, which puts their bytes into the XML as they are: control
    // bytes, carriage returns and bytes that are not UTF-8 included. They must come back exactly.
    std::string every_byte;
    for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
    every_byte += "\r\n&amp;<]]>";
    net::Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "SerialNumber", plist_new_string(every_byte.c_str()));
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dict.get(), &raw, &length);
    const net::XmlText xml(raw);
    auto reply = parse(std::string_view(xml.get(), length));
    ASSERT_TRUE(reply) << reply.error().display();
    const auto serial = reply->find(reply->root(), "SerialNumber");
    ASSERT_TRUE(serial);
    EXPECT_EQ(reply->string(*serial), every_byte);
}

// ---- Hostile replies, at the size limit ----

namespace {

// A parse of `payload` and what `use` does with it, in a child process: the child's peak resident
// memory beyond the process as it stands, and the time it took. Under sanitizers only `use` counts.
struct Cost {
    bool ok = false;
    long peak_kb = 0;
    std::chrono::duration<double> took{};
};
Cost cost_of(const std::string& payload, const std::function<bool(MuxResult<Reply>)>& use) {
    auto run = [](const std::function<bool()>& work, std::chrono::duration<double>& took) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(work() ? 0 : 1);
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        took = std::chrono::steady_clock::now() - start;
        return std::pair(WIFEXITED(status) && WEXITSTATUS(status) == 0, usage.ru_maxrss);
    };
    Cost cost;
    std::chrono::duration<double> ignored{};
    const long before = run([] { return true; }, ignored).second;
    auto [ok, peak] = run([&] { return use(parse(payload)); }, cost.took);
    cost.ok = ok;
    cost.peak_kb = peak - before;
    return cost;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
constexpr bool SANITIZED = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool SANITIZED = false;
#endif

// Loose bounds, an order of magnitude above what the benchmark measures (bench/reply_reader).
void expect_cheap(const Cost& cost, std::string_view shape) {
    EXPECT_TRUE(cost.ok) << shape;
    if (SANITIZED) return;
    EXPECT_LT(cost.peak_kb, 100 * 1024) << shape;
    EXPECT_LT(cost.took, 1s) << shape;
}

}  // namespace

TEST(HostileReplies, ReadSharedObjectsOnceHoweverOftenTheyAreReferenced) {
    // libplist copied a shared object once per reference: 500,000 references to one 400 KB string
    // grew the bridge without bound, as a device list and as a Connect answer alike.
    expect_cheap(cost_of(hostile::shared_string_list(),
                         [](MuxResult<Reply> reply) {
                             if (!reply || connect_result_code(*reply) != 3) return false;
                             return device_infos(DeviceList(std::move(*reply))).empty();
                         }),
                 "500,000 references to a string");
    // The same, each reference an entry whose serial number is that string: every visit sees the
    // same bytes at the same address.
    expect_cheap(cost_of(hostile::shared_entry_list(),
                         [&](MuxResult<Reply> reply) {
                             if (!reply) return false;
                             std::uint32_t seen = 0;
                             const char* serial = nullptr;
                             DeviceList(std::move(*reply)).visit([&](const DeviceEntry& entry) {
                                 if (seen++ == 0) serial = entry.serial_number.data();
                                 return entry.device_id == 7 && entry.serial_number.data() == serial &&
                                        entry.serial_number.size() == 400'000;
                             });
                             return seen == 500'000;
                         }),
                 "500,000 references to an entry");
}

TEST(HostileReplies, VisitListsOfOneHundredFortyTwoThousandEntriesInLinearTime) {
    // libplist walked i nodes to reach item i: 142,000 entries took 25 s per reply. Here every entry
    // is a dictionary without "Properties", but for the last, which must still be found.
    for (const auto& [payload, form] : {std::pair(hostile::many_skipped_entries_xml(), "XML"),
                                        std::pair(hostile::many_skipped_entries_binary(), "binary")}) {
        ASSERT_LE(payload.size(), hostile::PAYLOAD_LIMIT) << form;
        expect_cheap(cost_of(payload,
                             [](MuxResult<Reply> reply) {
                                 return reply && device_infos(DeviceList(std::move(*reply))) ==
                                                     std::vector<DeviceInfo>{{5, "LAST"}};
                             }),
                     form);
    }
}

TEST(HostileReplies, NestingIsCountedByTheXmlParserWhateverAttributesHold) {
    // Attribute values holding "<!--" or "/>" hid 142,000 levels from the old scanner, and libplist's
    // recursive free then crashed the bridge.
    const std::string too_deep = "Protocol error: Property list nested too deeply";
    const std::string hidden = xml_plist(repeated(R"(<array a="/&gt;" b="&lt;!--">)", 30'000) + "<true/>" +
                                         repeated("</array>", 30'000));
    auto deep = parse(hidden);
    ASSERT_FALSE(deep);
    EXPECT_EQ(deep.error().display(), too_deep);
    // Raw '<' in an attribute value is not XML at all.
    auto raw = parse(xml_plist(R"(<dict a="<!--"><key>k</key><true/></dict>)"));
    ASSERT_FALSE(raw);
    EXPECT_EQ(raw.error().display(), "Protocol error: Failed to parse plist: invalid XML property list");
    // A valid device list 200 levels down is no device list.
    const std::string list = device_list(entry(id("1") + serial("S")));
    auto nested = parse(
        xml_plist(repeated("<array>", 200) + list.substr(list.find("<dict>")) + repeated("</array>", 200)));
    ASSERT_FALSE(nested);
    EXPECT_EQ(nested.error().display(), too_deep);
}

// ---- Device list ----

TEST(DevicesFromResponse, ListsNothingWithoutAnArrayOfDevices) {
    EXPECT_TRUE(devices_of(xml_dict("")).empty());
    EXPECT_TRUE(devices_of(xml_dict("<key>DeviceList</key><string>none</string>")).empty());
    EXPECT_TRUE(devices_of(xml_dict("<key>MessageType</key><string>Result</string>"
                                    "<key>Number</key><integer>1</integer>"))
                    .empty());
    EXPECT_TRUE(devices_of(device_list("")).empty());
}

TEST(DevicesFromResponse, SkipsMalformedEntriesAndKeepsTheOthersInOrder) {
    std::string entries =
        entry(id("1") + serial("first")) + entry(id("2")) + entry(id("3") + serial("third"));
    EXPECT_EQ(devices_of(device_list(entries)), (std::vector<DeviceInfo>{{1, "first"}, {3, "third"}}));

    std::string skipped =
        "<string>not a dict</string>"
        "<dict><key>DeviceID</key><integer>4</integer>" +
        serial("entry level") + "</dict>" + "<dict><key>Properties</key><string>x</string></dict>" +
        entry("<key>DeviceID</key><string>5</string>" + serial("id as string")) +
        entry("<key>DeviceID</key><real>6</real>" + serial("id as real")) +
        entry(id("7") + "<key>SerialNumber</key><integer>7</integer>") + entry(serial("no id")) +
        entry(id("8") + serial("kept"));
    EXPECT_EQ(devices_of(device_list(skipped)), (std::vector<DeviceInfo>{{8, "kept"}}));
}

TEST(DevicesFromResponse, AcceptsEmptySerialsAndRepeatedDevices) {
    std::string entries =
        entry(id("9") + serial("")) + entry(id("2") + serial("SAME")) + entry(id("2") + serial("SAME"));
    EXPECT_EQ(devices_of(device_list(entries)), (std::vector<DeviceInfo>{{9, ""}, {2, "SAME"}, {2, "SAME"}}));
}

TEST(DevicesFromResponse, KeepsLow32BitsAndTurnsNegativeIdsIntoZero) {
    struct Case {
        const char* value;
        std::uint32_t device_id;
    };
    for (Case c : {Case{"0", 0}, Case{"4294967295", 4294967295}, Case{"4294967301", 5}, Case{"-1", 0},
                   Case{"-9223372036854775808", 0}, Case{"9223372036854775807", 4294967295},
                   Case{"9223372036854775813", 5}, Case{"18446744073709551615", 4294967295}}) {
        // -1 and 2^64-1 share their 64 bits: the sign must survive both plist forms.
        std::string xml = device_list(entry(id(c.value) + serial("S")));
        EXPECT_EQ(devices_of(xml), (std::vector<DeviceInfo>{{c.device_id, "S"}})) << c.value << " (XML)";
        EXPECT_EQ(devices_of(binary_of(xml)), (std::vector<DeviceInfo>{{c.device_id, "S"}}))
            << c.value << " (binary)";
    }
}

// ---- Connect result ----

TEST(ConnectResultCode, ReadsSignedCodesAndMapsHugeOnesToMinusOne) {
    struct Case {
        const char* value;
        std::int64_t code;
    };
    for (Case c : {Case{"0", 0}, Case{"3", 3}, Case{"-2", -2}, Case{"9223372036854775807", INT64_MAX},
                   Case{"-9223372036854775808", INT64_MIN}, Case{"9223372036854775808", -1},
                   Case{"18446744073709551615", -1}}) {
        std::string xml = xml_dict("<key>Number</key><integer>" + std::string(c.value) + "</integer>");
        EXPECT_EQ(code_of(xml), c.code) << c.value << " (XML)";
        EXPECT_EQ(code_of(binary_of(xml)), c.code) << c.value << " (binary)";
    }
}

TEST(ConnectResultCode, CountsMissingOrNonIntegerNumbersAsSuccess) {
    EXPECT_EQ(code_of(xml_dict("<key>MessageType</key><string>Result</string>")), 0);
    EXPECT_EQ(code_of(xml_dict("<key>Number</key><string>3</string>")), 0);
    EXPECT_EQ(code_of(xml_dict("<key>Number</key><real>3</real>")), 0);
    EXPECT_EQ(code_of(xml_dict("<key>Number</key><true/>")), 0);
    EXPECT_EQ(code_of(xml_dict("<key>Properties</key><dict><key>Number</key><integer>3</integer></dict>")),
              0);
}

// ---- Tunnels ----

namespace {

std::string result_reply(std::string_view number_entry) {
    return message(xml_dict("<key>MessageType</key><string>Result</string>" + std::string(number_entry)));
}

}  // namespace

TEST(ConnectDevice, KeepsTunnelBytesThatFollowTheReplyInTheSameWrite) {
    TempDir dir;
    DaemonAddress address{dir.path("mux"), closed_tcp_address()};
    std::string from_client;
    TestDaemon daemon(listen_unix(address.unix_path), [&](int fd) {
        receive_request(fd);
        send_text(fd,
                  result_reply("<key>Number</key><integer>0</integer>") + std::string("\0\0\0\5hello", 9));
        from_client = receive_text(fd, 4);
    });
    auto stream = connect_device(1, 5000, address);
    ASSERT_TRUE(stream) << stream.error().display();
    EXPECT_EQ(int_option(stream->fd.get(), SOL_SOCKET, SO_DOMAIN), AF_UNIX);
    EXPECT_TRUE(close_on_exec(stream->fd.get()));
    EXPECT_TRUE(has_no_timeouts(stream->fd.get()));
    EXPECT_EQ(receive_text(stream->fd.get(), 9), std::string("\0\0\0\5hello", 9));
    send_text(stream->fd.get(), "ping");
    daemon.join();
    EXPECT_EQ(from_client, "ping");
}

TEST(ConnectDevice, RefusalsCarryTheDaemonsCodeAndCloseTheSocket) {
    struct Case {
        const char* number;
        std::int64_t code;
        const char* text;
    };
    for (Case c : {Case{"3", 3, "Device refused connection (code 3)"},
                   Case{"-2", -2, "Device refused connection (code -2)"},
                   Case{"18446744073709551615", -1, "Device refused connection (code -1)"}}) {
        TempDir dir;
        DaemonAddress address{dir.path("mux"), closed_tcp_address()};
        ScriptedDaemon daemon(
            listen_unix(address.unix_path),
            result_reply("<key>Number</key><integer>" + std::string(c.number) + "</integer>"));
        auto stream = connect_device(1, 4242, address);
        daemon.daemon.join();
        ASSERT_FALSE(stream) << c.number;
        EXPECT_EQ(stream.error().variant(), MuxError::Variant::Refused);
        EXPECT_EQ(stream.error().code(), c.code);
        EXPECT_EQ(stream.error().display(), c.text);
        EXPECT_TRUE(daemon.closed_after_reply) << c.number;
    }
}

TEST(ConnectDevice, CountsAStringOrMissingNumberAsSuccess) {
    for (std::string number : {"<key>Number</key><string>3</string>", ""}) {
        TempDir dir;
        DaemonAddress address{dir.path("mux"), closed_tcp_address()};
        ScriptedDaemon daemon(listen_unix(address.unix_path), result_reply(number) + "tunnel");
        auto stream = connect_device(1, 5000, address);
        ASSERT_TRUE(stream) << stream.error().display();
        EXPECT_EQ(receive_text(stream->fd.get(), 6), "tunnel");
        stream->fd.reset();
        daemon.daemon.join();
    }
}

TEST(ConnectDevice, SetsNoDelayOnTcpTunnelsOnly) {
    TempDir dir;
    net::Fd tcp = listen_tcp();
    DaemonAddress address{dir.path("missing"), tcp_address(tcp.get())};
    std::string reply = result_reply("<key>Number</key><integer>0</integer>");
    TestDaemon tcp_daemon(std::move(tcp), [&](int fd) {
        receive_request(fd);
        send_text(fd, reply);
        peer_closed(fd);
    });
    auto over_tcp = connect_device(1, 5000, address);
    ASSERT_TRUE(over_tcp) << over_tcp.error().display();
    EXPECT_EQ(int_option(over_tcp->fd.get(), SOL_SOCKET, SO_DOMAIN), AF_INET);
    EXPECT_EQ(int_option(over_tcp->fd.get(), IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_TRUE(close_on_exec(over_tcp->fd.get()));
    EXPECT_TRUE(has_no_timeouts(over_tcp->fd.get()));
    over_tcp->fd.reset();
    tcp_daemon.join();

    TestDaemon unix_daemon(listen_unix(address.unix_path), [&](int fd) {
        receive_request(fd);
        send_text(fd, reply);
        peer_closed(fd);
    });
    auto over_unix = connect_device(1, 5000, address);
    ASSERT_TRUE(over_unix) << over_unix.error().display();
    EXPECT_EQ(int_option(over_unix->fd.get(), SOL_SOCKET, SO_DOMAIN), AF_UNIX);
    EXPECT_TRUE(has_no_timeouts(over_unix->fd.get()));
}

TEST(ConnectDevice, ClosesTheSocketOnProtocolErrors) {
    for (std::string reply : {message("garbage"), header(16), message(xml_plist("<array/>"))}) {
        TempDir dir;
        DaemonAddress address{dir.path("mux"), closed_tcp_address()};
        ScriptedDaemon daemon(listen_unix(address.unix_path), reply);
        auto stream = connect_device(1, 5000, address);
        daemon.daemon.join();
        ASSERT_FALSE(stream);
        EXPECT_EQ(stream.error().variant(), MuxError::Variant::Protocol);
        EXPECT_TRUE(daemon.closed_after_reply) << stream.error().display();
    }
}

// ---- Descriptors ----

TEST(MuxCalls, LeaveNoDescriptorOpenOnAnyPath) {
    TempDir dir;
    // A stale socket file makes the Unix attempt open a socket and fail on it.
    { net::Fd stale = listen_unix(dir.path("stale")); }
    DaemonAddress nobody{dir.path("stale"), closed_tcp_address()};
    DaemonAddress address{dir.path("mux"), closed_tcp_address()};
    auto answered = [&](std::string reply, auto call) {
        bool partial = reply.size() < 16;
        ScriptedDaemon daemon(listen_unix(address.unix_path), std::move(reply), partial);
        call();
        daemon.daemon.join();
        std::filesystem::remove(address.unix_path);
    };
    std::string ok = result_reply("<key>Number</key><integer>0</integer>");

    std::size_t before = open_descriptors();
    EXPECT_FALSE(MuxClient::connect(nobody));
    EXPECT_FALSE(list_devices(nobody));
    EXPECT_FALSE(connect_device(1, 5000, nobody));
    answered(message("garbage"), [&] { EXPECT_FALSE(list_devices(address)); });
    answered(header(200).substr(0, 5), [&] { EXPECT_FALSE(list_devices(address)); });
    answered(header(16), [&] { EXPECT_FALSE(connect_device(1, 5000, address)); });
    answered(result_reply("<key>Number</key><integer>3</integer>"),
             [&] { EXPECT_FALSE(connect_device(1, 5000, address)); });
    answered(message(device_list("")), [&] { EXPECT_TRUE(list_devices(address)); });
    answered(ok, [&] { EXPECT_TRUE(connect_device(1, 5000, address)); });
    EXPECT_EQ(open_descriptors(), before);
}
