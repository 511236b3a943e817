// vantrel-sim's daemon side, script interface and command line, checked from the outside: a bare
// usbmuxd client reads its replies byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "sim_support.h"
#include "support/namespace.h"

namespace vantrel::test {
namespace {

plist_t root(const Reply& r) {
    return static_cast<plist_t>(r.plist.get());
}

TEST(SimDaemon, ListsPluggedDevicesInTheRealDaemonsShape) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug SERIAL-A"), "ok id=1");
    ASSERT_EQ(sim.command("plug SERIAL-B"), "ok id=2");

    net::Fd fd = connect_unix();
    ASSERT_TRUE(fd);
    send_bytes(fd.get(), message(7, xml_request("ListDevices")));
    auto r = read_reply(fd.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->length, 16 + r->payload.size());
    EXPECT_EQ(r->version, 1u);
    EXPECT_EQ(r->type, 8u);
    EXPECT_EQ(r->tag, 7u);
    EXPECT_TRUE(std::string(r->payload.begin(), r->payload.end()).starts_with("<?xml"));
    plist_t list = plist_dict_get_item(root(*r), "DeviceList");
    ASSERT_TRUE(list);
    ASSERT_EQ(plist_array_get_size(list), 2u);
    for (std::uint32_t i = 0; i < 2; ++i) {
        plist_t entry = plist_array_get_item(list, i);
        plist_t props = plist_dict_get_item(entry, "Properties");
        EXPECT_EQ(plist_string(entry, "MessageType"), "Attached");
        EXPECT_EQ(plist_uint(entry, "DeviceID"), i + 1);
        EXPECT_EQ(plist_uint(props, "DeviceID"), i + 1);
        EXPECT_EQ(plist_string(props, "SerialNumber"), i == 0 ? "SERIAL-A" : "SERIAL-B");
        EXPECT_EQ(plist_string(props, "ConnectionType"), "USB");
        EXPECT_EQ(plist_uint(props, "ConnectionSpeed"), 480000000u);
        EXPECT_EQ(plist_uint(props, "ProductID"), 0x12A8u);
        EXPECT_TRUE(plist_uint(props, "LocationID"));
    }
    EXPECT_TRUE(sim.saw_event("list-devices"));
    // The connection stays open for another request, as with the real daemon.
    send_bytes(fd.get(), message(8, xml_request("ListDevices")));
    auto again = read_reply(fd.get());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->tag, 8u);
}

TEST(SimDaemon, SerialsGivenInHexCarryControlAndNonUtf8Bytes) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--device-hex", "41070a42"});
    ASSERT_EQ(sim.command("plug-hex 1b5b33316dff"), "ok id=2");
    EXPECT_EQ(sim.command("plug-hex 410042"), "error: bad serial \"410042\": it holds a 00 byte");
    net::Fd fd = connect_unix();
    send_bytes(fd.get(), message(7, xml_request("ListDevices")));
    auto r = read_reply(fd.get());
    ASSERT_TRUE(r);
    std::string payload(r->payload.begin(), r->payload.end());
    EXPECT_NE(payload.find("A\a\nB"), std::string::npos) << payload;
    EXPECT_NE(payload.find("\x1b[31m\xff"), std::string::npos) << payload;
}

TEST(SimDaemon, AnswersOverTcpWithoutTheUnixSocket) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--no-unix"});
    EXPECT_FALSE(wait_for_path("/var/run/usbmuxd", 100ms));
    ASSERT_EQ(sim.command("plug TCP-1"), "ok id=1");
    net::Fd fd = connect_tcp(27015);
    ASSERT_TRUE(fd);
    send_bytes(fd.get(), message(1, xml_request("ListDevices")));
    auto r = read_reply(fd.get());
    ASSERT_TRUE(r);
    plist_t entry = plist_array_get_item(plist_dict_get_item(root(*r), "DeviceList"), 0);
    EXPECT_EQ(plist_string(plist_dict_get_item(entry, "Properties"), "SerialNumber"), "TCP-1");

    net::Fd tunnel = connect_tcp(27015);
    EXPECT_EQ(connect_result(tunnel.get(), 1, 4242), 0u);
    EXPECT_TRUE(sim.saw_event("connect 1 4242"));
}

TEST(SimDaemon, ConnectTurnsTheSocketIntoTheTunnel) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    net::Fd fd = connect_unix();
    send_bytes(fd.get(), message(2, xml_request("Connect", 1, 5000)));
    auto r = read_reply(fd.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tag, 2u);
    EXPECT_EQ(plist_string(root(*r), "MessageType"), "Result");
    EXPECT_EQ(plist_uint(root(*r), "Number"), 0u);
    ASSERT_EQ(sim.command("wait-connect 1 5000"), "ok");
    EXPECT_TRUE(sim.saw_event("connect 1 5000"));

    ASSERT_EQ(sim.command("send 1 5000 0102ff"), "ok");
    EXPECT_EQ(receive_bytes(fd.get(), 7), (Bytes{0, 0, 0, 3, 0x01, 0x02, 0xFF}));
    ASSERT_EQ(sim.command("raw 1 5000 00000001"), "ok");
    EXPECT_EQ(receive_bytes(fd.get(), 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(sim.command("stats 1 5000"),
              "ok connected=1 sent=1 bytes=3 feedback=0 feedback_bytes=0 health=0");
}

TEST(SimDaemon, ConnectRefusalsCarryTheRealDaemonsCodes) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    net::Fd unknown = connect_unix();
    EXPECT_EQ(connect_result(unknown.get(), 9, 5000), 2u);
    EXPECT_TRUE(sim.saw_event("unknown-device 9 5000"));

    ASSERT_EQ(sim.command("listen 1 5000 off"), "ok");
    net::Fd off = connect_unix();
    EXPECT_EQ(connect_result(off.get(), 1, 5000), 3u);
    EXPECT_TRUE(sim.saw_event("refused 1 5000"));
    net::Fd other_port = connect_unix();
    EXPECT_EQ(connect_result(other_port.get(), 1, 6000), 3u);

    ASSERT_EQ(sim.command("listen 1 6000 on"), "ok");
    net::Fd now_on = connect_unix();
    EXPECT_EQ(connect_result(now_on.get(), 1, 6000), 0u);
    EXPECT_EQ(sim.command("wait-connect 1 6000"), "ok");
}

TEST(SimDaemon, RefusesForTheGivenTimeThenListens) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    ASSERT_EQ(sim.command("refuse 1 4242 1.5"), "ok");
    net::Fd early = connect_unix();
    EXPECT_EQ(connect_result(early.get(), 1, 4242), 3u);
    std::this_thread::sleep_for(2s);
    net::Fd later = connect_unix();
    EXPECT_EQ(connect_result(later.get(), 1, 4242), 0u);
}

TEST(SimDaemon, UnknownMessageTypeGetsResultOne) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    net::Fd fd = connect_unix();
    send_bytes(fd.get(), message(5, xml_request("ReadBUID")));
    auto r = read_reply(fd.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tag, 5u);
    EXPECT_EQ(plist_string(root(*r), "MessageType"), "Result");
    EXPECT_EQ(plist_uint(root(*r), "Number"), 1u);
    EXPECT_TRUE(sim.saw_event("client-error unknown MessageType \"ReadBUID\", answered with result 1"));
}

TEST(SimDaemon, AStringWithANulInsideNeitherStopsTheSimulatorNorBreaksTheEventLine) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    Bytes xml = xml_request("ListDevices");
    std::string text(xml.begin(), xml.end());
    text.replace(text.find("ListDevices"), 11, std::string("List\0Devices", 12));
    net::Fd fd = connect_unix();
    send_bytes(fd.get(), message(6, bytes_of(text)));
    auto r = read_reply(fd.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(plist_uint(root(*r), "Number"), 1u);
    // libplist keeps the string's length but not the bytes after the NUL: only the start is certain.
    EXPECT_TRUE(
        sim.child().wait_for(Child::Stream::Out, "event client-error unknown MessageType \"List\\x00", 5s));
    EXPECT_EQ(sim.command("devices"), "ok count=0");
}

TEST(SimDaemon, UnreadableRequestsGetNoReplyAndTheConnectionStaysOpen) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    net::Fd fd = connect_unix();
    send_bytes(fd.get(), message(1, bytes_of("not a plist at all")));
    EXPECT_FALSE(read_reply(fd.get(), 300ms));
    EXPECT_TRUE(sim.saw_event("client-error unparsable request (18 bytes), not answered"));

    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "ProgName", plist_new_string("x"));
    char* xml = nullptr;
    std::uint32_t size = 0;
    plist_to_xml(static_cast<plist_t>(dict.get()), &xml, &size);
    send_bytes(fd.get(), message(1, Bytes(xml, xml + size)));
    plist_to_xml_free(xml);
    EXPECT_FALSE(read_reply(fd.get(), 300ms));
    EXPECT_TRUE(sim.saw_event("client-error request without MessageType, not answered"));

    send_bytes(fd.get(), message(1, bytes_of("bplist00 and then nothing useful")));
    EXPECT_FALSE(read_reply(fd.get(), 300ms));
    EXPECT_TRUE(sim.saw_event("client-error binary property-list request, not answered"));

    send_bytes(fd.get(), message(3, xml_request("ListDevices")));
    auto r = read_reply(fd.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tag, 3u);
}

TEST(SimDaemon, HeaderVersionOtherThanOneGetsBinaryResultSix) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    net::Fd fd = connect_unix();
    send_bytes(fd.get(), message(4, xml_request("ListDevices"), 2));
    Bytes reply = receive_bytes(fd.get(), 20);
    EXPECT_EQ(reply, (Bytes{20, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 6, 0, 0, 0}));
    EXPECT_TRUE(sim.saw_event("client-error header version 2, answered with result 6"));
}

TEST(SimDaemon, MessageLengthOutOfRangeClosesTheClientAndTheNextIsServed) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    net::Fd huge = connect_unix();
    send_bytes(huge.get(), header(65537, 1, 8, 1));
    EXPECT_TRUE(peer_closed(huge.get()));
    EXPECT_TRUE(sim.saw_event("client-error message length 65537 out of range 16-65536, connection closed"));

    net::Fd tiny = connect_unix();
    send_bytes(tiny.get(), header(15, 1, 8, 1));
    EXPECT_TRUE(peer_closed(tiny.get()));
    EXPECT_TRUE(sim.saw_event("client-error message length 15 out of range 16-65536, connection closed"));

    // A message of exactly 65536 bytes is read (and, being no plist, not answered).
    net::Fd largest = connect_unix();
    send_bytes(largest.get(), message(1, Bytes(65536 - 16, 'x')));
    EXPECT_TRUE(sim.saw_event("client-error unparsable request (65520 bytes), not answered"));

    net::Fd next = connect_unix();
    send_bytes(next.get(), message(1, xml_request("ListDevices")));
    EXPECT_TRUE(read_reply(next.get()));
}

TEST(SimDaemon, ClientLeavingMidRequestIsReportedAndTheNextIsServed) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    {
        net::Fd half_header = connect_unix();
        send_bytes(half_header.get(), Bytes(10, 0x20));
    }
    EXPECT_TRUE(sim.saw_event("client-error client left in the middle of a request (got 10 of 16 bytes)"));
    {
        net::Fd half_payload = connect_unix();
        Bytes m = message(1, xml_request("ListDevices"));
        m.resize(100);
        send_bytes(half_payload.get(), m);
    }
    std::uint32_t full = static_cast<std::uint32_t>(16 + xml_request("ListDevices").size());
    EXPECT_TRUE(sim.saw_event("client-error client left in the middle of a request (got 100 of " +
                              std::to_string(full) + " bytes)"));
    net::Fd next = connect_unix();
    send_bytes(next.get(), message(1, xml_request("ListDevices")));
    EXPECT_TRUE(read_reply(next.get()));
}

TEST(SimDaemon, ListReplyModesBreakTheDeviceListOnDemand) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    auto ask = [] {
        net::Fd fd = connect_unix();
        send_bytes(fd.get(), message(9, xml_request("ListDevices")));
        return fd;
    };

    ASSERT_EQ(sim.command("list-reply garbage"), "ok");
    net::Fd garbage = ask();
    Bytes expected = header(16 + 27, 1, 8, 9);
    Bytes text = bytes_of("this is not a property list");
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(receive_bytes(garbage.get(), expected.size()), expected);

    ASSERT_EQ(sim.command("list-reply badlength"), "ok");
    net::Fd bad = ask();
    EXPECT_EQ(receive_bytes(bad.get(), 17, 500ms), header(16, 1, 8, 9));
    ASSERT_EQ(sim.command("list-reply badlength 1000017"), "ok");
    net::Fd too_long = ask();
    EXPECT_EQ(receive_bytes(too_long.get(), 17, 500ms), header(1000017, 1, 8, 9));

    ASSERT_EQ(sim.command("list-reply binary"), "ok");
    net::Fd binary = ask();
    auto r = read_reply(binary.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(Bytes(r->payload.begin(), r->payload.begin() + 8), bytes_of("bplist00"));
    plist_t entry = plist_array_get_item(plist_dict_get_item(root(*r), "DeviceList"), 0);
    EXPECT_EQ(plist_string(plist_dict_get_item(entry, "Properties"), "SerialNumber"), "A");

    ASSERT_EQ(sim.command("list-reply silent"), "ok");
    net::Fd silent = ask();
    EXPECT_FALSE(read_reply(silent.get(), 500ms));
    ASSERT_EQ(sim.command("list-reply close"), "ok");
    net::Fd closed = ask();
    EXPECT_TRUE(peer_closed(closed.get()));

    ASSERT_EQ(sim.command("list-reply partial"), "ok");
    net::Fd partial = ask();
    Bytes half = receive_bytes(partial.get(), 65536, 500ms);
    ASSERT_GE(half.size(), 16u);
    EXPECT_EQ(half.size(), 16 + (net::load_le32(half.data()) - 16) / 2) << "half of the announced payload";
    EXPECT_FALSE(peer_closed(partial.get(), 100ms));

    ASSERT_EQ(sim.command("list-reply normal"), "ok");
    net::Fd normal = ask();
    auto good = read_reply(normal.get());
    ASSERT_TRUE(good);
    EXPECT_TRUE(std::string(good->payload.begin(), good->payload.end()).starts_with("<?xml"));
}

TEST(SimDaemon, NestedListRepliesAreValidPropertyListsOfTheGivenDepth) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--list-reply", "nested-xml:3"});
    auto ask = [] {
        net::Fd fd = connect_unix();
        send_bytes(fd.get(), message(5, xml_request("ListDevices")));
        return read_reply(fd.get());
    };
    auto depth = [](const Reply& r) {
        int levels = 0;
        for (plist_t node = root(r); node && plist_get_node_type(node) == PLIST_ARRAY; ++levels)
            node = plist_array_get_size(node) == 1 ? plist_array_get_item(node, 0) : nullptr;
        return levels;
    };
    auto xml = ask();
    ASSERT_TRUE(xml);
    EXPECT_EQ(depth(*xml), 3) << std::string(xml->payload.begin(), xml->payload.end());
    ASSERT_EQ(sim.command("list-reply nested-binary 4"), "ok");
    auto binary = ask();
    ASSERT_TRUE(binary);
    EXPECT_EQ(depth(*binary), 4);

    // The defaults: about 900 KB each, under the program's 1,000,000-byte reply limit.
    for (const char* mode : {"nested-binary", "nested-xml"}) {
        ASSERT_EQ(sim.command(std::string("list-reply ") + mode), "ok");
        net::Fd fd = connect_unix();
        send_bytes(fd.get(), message(6, xml_request("ListDevices")));
        Bytes h = receive_bytes(fd.get(), 16);
        ASSERT_EQ(h.size(), 16u);
        std::uint32_t length = net::load_le32(h.data());
        EXPECT_GT(length, 890'000u) << mode;
        EXPECT_LT(length, 1'000'000u) << mode;
        EXPECT_EQ(receive_bytes(fd.get(), length - 16).size(), length - 16) << mode;
    }
    EXPECT_EQ(sim.command("list-reply nested-xml 0"), "error: bad depth \"0\" (1 to 10000000)");
}

TEST(SimDaemon, ConnectReplyModesWedgeTheDaemonOrCutTheReply) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--connect-reply", "silent"});
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    net::Fd silent = connect_unix();
    send_bytes(silent.get(), message(3, xml_request("Connect", 1, 5000)));
    EXPECT_EQ(receive_bytes(silent.get(), 1, 500ms), Bytes{}) << "no reply";
    EXPECT_FALSE(peer_closed(silent.get(), 200ms)) << "the connection stays open";

    ASSERT_EQ(sim.command("connect-reply partial"), "ok");
    net::Fd partial = connect_unix();
    send_bytes(partial.get(), message(4, xml_request("Connect", 1, 5000)));
    Bytes got = receive_bytes(partial.get(), 4096, 500ms);
    ASSERT_GE(got.size(), 16u);
    std::uint32_t length = net::load_le32(got.data());
    EXPECT_EQ(got.size(), 16 + (length - 16) / 2) << "half of the announced payload";
    EXPECT_FALSE(peer_closed(partial.get(), 200ms));
    EXPECT_EQ(sim.count_events("connect 1 5000"), 0u);

    ASSERT_EQ(sim.command("connect-reply normal"), "ok");
    EXPECT_TRUE(open_tunnel(1, 5000));
    EXPECT_EQ(sim.command("connect-reply sometimes"),
              "error: usage: connect-reply normal|silent|partial|shared-side [REFS [SIZE]]");
}

TEST(SimDaemon, UnplugClosesTheTunnelsAndReplugGivesANewId) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug PHONE"), "ok id=1");
    net::Fd video = open_tunnel(1, 5000);
    net::Fd tracking = open_tunnel(1, 4242);
    ASSERT_TRUE(video && tracking);
    ASSERT_EQ(sim.command("wait-connect 1 4242"), "ok");

    ASSERT_EQ(sim.command("unplug 1"), "ok");
    EXPECT_TRUE(peer_closed(video.get()));
    EXPECT_TRUE(peer_closed(tracking.get()));
    EXPECT_TRUE(sim.saw_event("disconnect 1 5000"));
    EXPECT_TRUE(sim.saw_event("disconnect 1 4242"));
    EXPECT_EQ(sim.command("devices"), "ok count=0");
    net::Fd list = connect_unix();
    send_bytes(list.get(), message(1, xml_request("ListDevices")));
    auto r = read_reply(list.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(plist_array_get_size(plist_dict_get_item(root(*r), "DeviceList")), 0u);
    net::Fd gone = connect_unix();
    EXPECT_EQ(connect_result(gone.get(), 1, 5000), 2u);

    EXPECT_EQ(sim.command("plug PHONE"), "ok id=2");
    EXPECT_EQ(sim.command("devices"), "ok count=1 ids=2");
    EXPECT_EQ(sim.command("unplug 1"), "error: no device 1");
}

TEST(SimDaemon, ReplacesAStaleSocketFileButNotALiveDaemon) {
    REQUIRE_PRIVATE_NAMESPACE();
    const std::string path = "/run/sim-stale.sock";
    {
        net::Fd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    Sim sim({"--unix", path, "--no-tcp"});
    EXPECT_TRUE(connect_unix(path));

    Child second = Child::spawn({built_program("vantrel-sim"), "--script", "--unix", path, "--no-tcp"});
    EXPECT_EQ(second.wait_exit(10s), 1);
    EXPECT_NE(
        second.err().find("vantrel-sim: cannot listen on /run/sim-stale.sock: another daemon answers there"),
        std::string::npos)
        << second.err();
    EXPECT_TRUE(connect_unix(path));  // the first one still serves

    sim.child().close_stdin();
    EXPECT_EQ(sim.child().wait_exit(10s), 0);
    struct stat st {};
    EXPECT_NE(::lstat(path.c_str(), &st), 0) << "the socket file is removed at the end";
}

TEST(SimScript, EveryCommandGetsOneReplyAndErrorsSayWhy) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    EXPECT_EQ(sim.command("bogus 1 2"), "error: unknown command \"bogus\"");
    EXPECT_EQ(sim.command("plug"), "error: usage: plug SERIAL [usb|network|none]");
    EXPECT_EQ(sim.command("send 9 5000 00"), "error: no device 9");
    EXPECT_EQ(sim.command("plug A"), "ok id=1");
    EXPECT_EQ(sim.command("send 1 5000 00"), "error: no tunnel to 1 5000");
    EXPECT_EQ(sim.command("send 1 5000 0g"), "error: bad hex \"0g\"");
    EXPECT_EQ(sim.command("send 1 70000 00"), "error: bad port \"70000\"");
    EXPECT_EQ(sim.command("stream 1 5000 rate=x"), "error: bad rate \"x\"");
    EXPECT_EQ(sim.command("stream 1 5000 size=10 stamp"),
              "error: stamped packets need a size of at least 24 bytes");
    EXPECT_EQ(sim.command("health 1 5000 sometimes"),
              "error: usage: health N PORT answer [HEX]|ignore|late MS|split MS [HEX]|trickle MS [LENGTH]");
    EXPECT_EQ(sim.command("stats 1 5000"),
              "ok connected=0 sent=0 bytes=0 feedback=0 feedback_bytes=0 health=0");
    EXPECT_EQ(sim.command("wait-connect 1 5000 200"), "error: timeout");
    EXPECT_EQ(sim.command("wait-disconnect 1 5000 200"), "ok") << "no tunnel: already gone";
    EXPECT_EQ(sim.command("wait-connect 2 5000"), "error: no device 2");
    EXPECT_EQ(sim.command("sleep 50"), "ok");
    // Comments and blank lines are no commands and get no reply.
    sim.child().write_stdin("# a comment\n\n");
    EXPECT_EQ(sim.command("devices"), "ok count=1 ids=1");
}

TEST(SimScript, EndOfInputOrQuitEndsWithStatusZeroAfterPendingCommands) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim eof;
    eof.child().write_stdin("plug A\nsleep 300\ndevices\n");
    eof.child().close_stdin();
    EXPECT_EQ(eof.child().wait_exit(10s), 0);
    EXPECT_NE(eof.out().find("ok id=1\nok\nok count=1 ids=1\n"), std::string::npos) << eof.out();

    Sim quit;
    EXPECT_EQ(quit.command("quit"), "ok");
    EXPECT_EQ(quit.child().wait_exit(10s), 0);
}

TEST(SimScript, SigtermAndSigintEndWithStatusZero) {
    REQUIRE_PRIVATE_NAMESPACE();
    for (int sig : {SIGTERM, SIGINT}) {
        Sim sim;
        ASSERT_EQ(sim.command("plug A"), "ok id=1");
        sim.child().signal(sig);
        EXPECT_EQ(sim.child().wait_exit(10s), 0) << "signal " << sig;
    }
}

TEST(SimScript, ScriptFileAndScheduledCommandsRunWithoutStandardInput) {
    REQUIRE_PRIVATE_NAMESPACE();
    const std::string path = "/run/scenario.sim";
    {
        std::ofstream out(path);
        out << "# a scenario\nplug FILE-1\nlisten 1 5000 off\nsleep 100\n";
    }
    Sim sim(
        {"--script-file", path, "--at", "0.3", "plug LATER", "--at", "0.6", "unplug 7", "--duration", "1.5"},
        false);
    EXPECT_EQ(sim.child().wait_exit(10s), 0);
    EXPECT_NE(sim.out().find("ready\nok id=1\nok\nok\n"), std::string::npos) << sim.out();
    // A scheduled command's reply is shown only when it fails.
    EXPECT_NE(sim.out().find("error: no device 7\n"), std::string::npos) << sim.out();
    EXPECT_EQ(sim.child().count(Child::Stream::Out, "ok id=2"), 0u);
}

TEST(SimCli, BadArgumentsGetOneLineAPointerToHelpAndStatusTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--video-rate", "fast"},
        {"--video-size", "0"},
        {"--health", "maybe"},
        {"--connect-reply", "maybe"},
        {"--health", "split:x"},
        {"--device-hex", "4100"},
        {"--no-unix", "--no-tcp"},
        {"--tcp", "localhost"},
        {"--at", "1", "frobnicate"},
        {"--script", "--video-file", "-"},
        {"--script", "--video-rate", "10"},
        {"--stamp", "--tracking-size", "10"},
        {"--script-file", "/nonexistent/scenario"},
        {"--vi", "3"},
        {"-sx"},
        {"stray"},
        {"receive", "--bogus"},
        {"receive", "--feedback-size", "0"},
        {"receive", "--video", "5000"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{built_program("vantrel-sim")};
        argv.insert(argv.end(), args.begin(), args.end());
        Child c = Child::spawn(argv);
        EXPECT_EQ(c.wait_exit(10s), 2) << args[0];
        EXPECT_TRUE(c.err().starts_with("vantrel-sim: ")) << c.err();
        EXPECT_TRUE(c.err().ends_with("\nTry 'vantrel-sim --help'.\n")) << c.err();
        EXPECT_EQ(std::count(c.err().begin(), c.err().end(), '\n'), 2) << c.err();
        EXPECT_EQ(c.out(), "");
    }
    auto error_of = [](std::vector<std::string> args) {
        args.insert(args.begin(), built_program("vantrel-sim"));
        Child c = Child::spawn(args);
        c.wait_exit(10s);
        return c.err().substr(0, c.err().find('\n'));
    };
    EXPECT_EQ(error_of({"--bogus"}), "vantrel-sim: unknown option --bogus");
    EXPECT_EQ(
        error_of({"--vi", "3"}),
        "vantrel-sim: option --vi is ambiguous (--video-rate, --video-size, --video-file, --video-count, "
        "--video-then)");
    EXPECT_EQ(error_of({"--tcp", "a\x1b[31m\tb"}),
              "vantrel-sim: --tcp: \"a?[31m?b\" is not a.b.c.d:port or [v6]:port");
    EXPECT_EQ(error_of({"--no-video=yes"}), "vantrel-sim: --no-video takes no value");
    EXPECT_EQ(error_of({"-d"}), "vantrel-sim: --device needs a value");

    Child help = Child::spawn({built_program("vantrel-sim"), "--hel"});
    EXPECT_EQ(help.wait_exit(10s), 0);
    EXPECT_TRUE(help.out().starts_with("Usage: vantrel-sim [OPTION...]")) << help.out();
    for (std::vector<std::string> version :
         {std::vector<std::string>{"-V"}, {"--vers"}, {"receive", "--version"}}) {
        version.insert(version.begin(), built_program("vantrel-sim"));
        Child c = Child::spawn(version);
        EXPECT_EQ(c.wait_exit(10s), 0);
        EXPECT_EQ(c.out(), "vantrel-sim 1.0.0\n");
    }
}

}  // namespace
}  // namespace vantrel::test
