// vantrel-sim against real clients: libusbmuxd's inetcat from Debian, and the program's own
// multiplexer client and packet stream, unchanged.
#include <gtest/gtest.h>

#include "forwarder/packet_stream.h"
#include "forwarder/setup.h"
#include "mux/connect.h"
#include "mux/devices.h"
#include "sim/stamp.h"
#include "sim_support.h"
#include "support/namespace.h"

namespace vantrel::test {
namespace {

std::string hex(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

Child inetcat(const std::string& address) {
    return Child::spawn({"inetcat", "5000"}, {"USBMUXD_SOCKET_ADDRESS=" + address});
}

// inetcat relays its standard input into the tunnel and the tunnel to its standard output.
void expect_bytes_flow_both_ways(Sim& sim, Child& nc) {
    ASSERT_EQ(sim.command("wait-connect 1 5000"), "ok") << nc.err();
    ASSERT_EQ(sim.command("mode 1 5000 raw"), "ok");
    nc.write_stdin("hello from inetcat\n");
    EXPECT_TRUE(sim.saw_event("data 1 5000 19 " + hex("hello from inetcat\n")));
    ASSERT_EQ(sim.command("raw 1 5000 " + hex("hello from the app\n")), "ok");
    EXPECT_TRUE(nc.wait_for(Child::Stream::Out, "hello from the app\n", 5s)) << nc.out();

    // Framed, the app answers a health-check request that inetcat passes on, byte for byte.
    ASSERT_EQ(sim.command("mode 1 5000 frames"), "ok");
    nc.write_stdin(std::string("\x00\x00\x00\x03\xFE\x00\x01", 7));
    EXPECT_TRUE(sim.saw_event("health 1 5000"));
    EXPECT_TRUE(nc.wait_for(Child::Stream::Out, std::string("\x00\x00\x00\x03\xFE\x00\x01", 7), 5s));
    nc.close_stdin();
}

TEST(SimWithInetcat, ConnectsThroughTheUnixSocketAndBytesFlowBothWays) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--unix", "/run/sim-usbmuxd", "--no-tcp"});
    ASSERT_EQ(sim.command("plug INETCAT-1"), "ok id=1");
    Child nc = inetcat("UNIX:/run/sim-usbmuxd");
    expect_bytes_flow_both_ways(sim, nc);
    EXPECT_TRUE(sim.saw_event("list-devices"));
}

TEST(SimWithInetcat, ConnectsThroughTheTcpAddressAndBytesFlowBothWays) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--no-unix"});
    ASSERT_EQ(sim.command("plug INETCAT-2"), "ok id=1");
    Child nc = inetcat("127.0.0.1:27015");
    expect_bytes_flow_both_ways(sim, nc);
}

TEST(SimWithInetcat, RejectsABinaryDeviceListAsWithTheRealDaemon) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug INETCAT-3"), "ok id=1");
    ASSERT_EQ(sim.command("list-reply binary"), "ok");
    Child nc = inetcat("UNIX:/var/run/usbmuxd");
    auto status = nc.wait_exit(20s);
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    EXPECT_EQ(sim.count_events("connect 1 5000"), 0u);
}

TEST(SimWithProgramClient, ListsAndConnectsLikeTheRealDaemon) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug PHONE-A"), "ok id=1");
    ASSERT_EQ(sim.command("plug PHONE-B"), "ok id=2");
    auto devices = mux::list_devices();
    ASSERT_TRUE(devices) << devices.error().display();
    EXPECT_EQ(mux::device_infos(*devices),
              (std::vector<mux::DeviceInfo>{{1, "PHONE-A", "USB"}, {2, "PHONE-B", "USB"}}));

    auto tunnel = mux::connect_device(1, 5000);
    ASSERT_TRUE(tunnel) << tunnel.error().display();
    auto stream = forwarder::PacketStream::open(std::move(*tunnel), forwarder::MAX_VIDEO_PACKET);
    ASSERT_TRUE(stream);
    EXPECT_TRUE(forwarder::health_check(*stream));
    EXPECT_TRUE(sim.saw_event("health 1 5000"));

    ASSERT_EQ(sim.command("stream 1 5000 size=200 count=3 stamp"), "ok");
    for (std::uint64_t seq = 0; seq < 3; ++seq) {
        auto outcome = stream->read_packet();
        ASSERT_TRUE(outcome);
        auto* packet = std::get_if<forwarder::Packet>(&*outcome);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->size(), 200u);
        EXPECT_EQ(sim::read_stamp(packet->data(), packet->size())->sequence, seq);
    }
    Bytes feedback{'f', 'b'};
    ASSERT_TRUE(stream->write_packet(feedback));
    EXPECT_TRUE(sim.saw_event("feedback 1 5000 2 6662"));

    ASSERT_EQ(sim.command("fault 1 5000 zero-length"), "ok");
    auto bad = stream->read_packet();
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().text(), "bad packet length");

    auto refused = mux::connect_device(1, 6000);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().display(), "Device refused connection (code 3)");
    auto unknown = mux::connect_device(9, 5000);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().display(), "Device refused connection (code 2)");
}

TEST(SimWithProgramClient, HealthCheckTimesOutWhenTheAppIgnoresIt) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    ASSERT_EQ(sim.command("health 1 4242 ignore"), "ok");
    auto tunnel = mux::connect_device(1, 4242);
    ASSERT_TRUE(tunnel);
    auto stream = forwarder::PacketStream::open(std::move(*tunnel), forwarder::MAX_TRACKING_PACKET);
    ASSERT_TRUE(stream);
    auto checked = forwarder::health_check(*stream);
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().text(), "health check timed out");
}

TEST(SimWithProgramClient, UsesTheTcpFallbackAndSeesBrokenDeviceLists) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--no-unix"});
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    auto tunnel = mux::connect_device(1, 5000);
    ASSERT_TRUE(tunnel) << tunnel.error().display();

    ASSERT_EQ(sim.command("list-reply badlength"), "ok");
    auto short_reply = mux::list_devices();
    ASSERT_FALSE(short_reply);
    EXPECT_EQ(short_reply.error().display(), "Protocol error: Invalid payload length");

    ASSERT_EQ(sim.command("list-reply garbage"), "ok");
    auto garbage = mux::list_devices();
    ASSERT_FALSE(garbage);
    EXPECT_TRUE(garbage.error().display().starts_with("Protocol error: Failed to parse plist: "))
        << garbage.error().display();

    ASSERT_EQ(sim.command("list-reply binary"), "ok");
    auto binary = mux::list_devices();
    ASSERT_TRUE(binary) << binary.error().display();
    EXPECT_EQ(mux::device_infos(*binary), (std::vector<mux::DeviceInfo>{{1, "A", "USB"}}));
}

}  // namespace
}  // namespace vantrel::test
