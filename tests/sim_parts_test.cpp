// The pieces of vantrel-sim that need no process: the command parser, the packet generator, the
// statistics of stamped streams and the write buffer.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>

#include "net/plist.h"
#include "sim/cli.h"
#include "sim/command.h"
#include "sim/generator.h"
#include "sim/replies.h"
#include "sim/stamp.h"
#include "sim/stream_stats.h"
#include "sim/text.h"

namespace vantrel::sim {
namespace {

using Op = Command::Op;
constexpr std::uint64_t SECOND = 1'000'000'000;

// Splits a buffer of frames into their payloads.
std::vector<std::vector<std::uint8_t>> frames_in(const OutBuffer& out) {
    std::vector<std::vector<std::uint8_t>> frames;
    const std::uint8_t* p = out.data();
    std::size_t left = out.size();
    while (left >= 4) {
        std::uint32_t n = net::load_be32(p);
        EXPECT_LE(4 + std::size_t{n}, left);
        frames.emplace_back(p + 4, p + 4 + n);
        p += 4 + n;
        left -= 4 + std::size_t{n};
    }
    EXPECT_EQ(left, 0u);
    return frames;
}

TEST(SimCommand, ParsesTheStreamOptions) {
    auto c = parse_command(
        "stream 3 4242 rate=250 size=48-1400 count=10 stamp id=9 skip=2-4 seed=5 then=half-frame");
    ASSERT_TRUE(c) << c.error();
    EXPECT_EQ(c->op, Op::Stream);
    EXPECT_EQ(c->device, 3u);
    EXPECT_EQ(c->port, 4242);
    StreamSettings expected;
    expected.rate = 250;
    expected.size_min = 48;
    expected.size_max = 1400;
    expected.count = 10;
    expected.stamp = true;
    expected.stream_id = 9;
    expected.skip = std::pair<std::uint64_t, std::uint64_t>{2, 4};
    expected.seed = 5;
    expected.then = FaultKind::HalfFrame;
    EXPECT_EQ(c->stream, expected);

    auto off = parse_command("autostream 1 5000 off");
    ASSERT_TRUE(off);
    EXPECT_EQ(off->op, Op::AutoStream);
    EXPECT_FALSE(off->on);
}

TEST(SimCommand, ParsesWaitsWithTheirDefaultTimeout) {
    auto plain = parse_command("wait-connect 1 5000");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->ms, DEFAULT_WAIT_MS);
    auto feedback = parse_command("  wait-feedback 2 5000 7 250 ");
    ASSERT_TRUE(feedback);
    EXPECT_EQ(feedback->op, Op::WaitFeedback);
    EXPECT_EQ(feedback->count, 7u);
    EXPECT_EQ(feedback->ms, 250u);
    auto refuse = parse_command("refuse 1 4242 2.5");
    ASSERT_TRUE(refuse);
    EXPECT_EQ(refuse->ms, 2500u);
    auto late = parse_command("health 1 5000 late 1500");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->health, HealthMode::Late);
    EXPECT_EQ(late->ms, 1500u);
    auto length = parse_command("list-reply badlength 20");
    ASSERT_TRUE(length);
    EXPECT_EQ(length->list_reply, (ReplyShape<ListReply>{ListReply::BadLength, 20}));
    auto shared = parse_command("connect-reply shared-side 7");
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->connect_reply, (ReplyShape<ConnectReply>{ConnectReply::SharedSide, 7, 400'000}));
}

TEST(SimCommand, RejectsBadCommandsWithAReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plug", "usage: plug SERIAL [usb|network|none]"},
        {"unplug 0", "bad device id \"0\""},
        {"listen 1 5000 maybe", "usage: listen N PORT on|off"},
        {"refuse 1 5000 1.2345", "bad seconds \"1.2345\""},
        {"wait-connect 1 5000 soon", "bad timeout \"soon\""},
        {"wait-feedback 1 5000", "usage: wait-feedback N PORT COUNT [TIMEOUT_MS]"},
        {"send 1 5000 abc", "bad hex \"abc\""},
        {"stream 1 5000 size=0", "bad size \"0\" (1 to 1048576 bytes)"},
        {"stream 1 5000 speed=3", "unknown stream option \"speed=3\""},
        {"stream 1 5000 file=/x stamp", "stamp cannot be combined with file"},
        {"stream 1 5000 loop", "loop needs file"},
        {"fault 1 5000 explode",
         "usage: fault N PORT close|zero-length|over-length|half-prefix|half-frame|silent|unplug"},
        {"list-reply weird",
         "usage: list-reply normal|binary|garbage|badlength [LENGTH]|silent|close|partial|"
         "nested-binary [DEPTH]|nested-xml [DEPTH]|nested-attributes [DEPTH]|shared-list [REFS [SIZE]]|"
         "shared-side [REFS [SIZE]]|no-serial-xml [N]|no-serial-binary [N]|empty-dict-xml "
         "[N]|empty-dict-binary [N]"},
        {"events video on", "usage: events feedback on|off"},
        {"close 1", "usage: close N PORT"},
        {"frobnicate", "unknown command \"frobnicate\""},
    };
    for (const auto& [line, error] : cases) {
        auto c = parse_command(line);
        ASSERT_FALSE(c) << line;
        EXPECT_EQ(c.error(), error) << line;
    }
    EXPECT_FALSE(is_command_line("   # comment"));
    EXPECT_FALSE(is_command_line(" \t "));
    EXPECT_TRUE(is_command_line("devices"));
}

// The text of a manual page line with "\-" as "-".
std::string unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\\' || i + 1 == text.size() || text[i + 1] != '-') out.push_back(text[i]);
    return out;
}

// The first word of each line of `path` between the lines starting with `from` and `to` that `pick`
// turns into a command name ("" for none).
template <typename Pick>
std::set<std::string> names_in(const std::string& path, std::string_view from, std::string_view to,
                               Pick pick) {
    std::ifstream in(std::string(VANTREL_SOURCE_DIR) + "/" + path);
    std::set<std::string> names;
    bool inside = false;
    std::string previous, line;
    while (std::getline(in, line)) {
        if (line.starts_with(from)) inside = true;
        if (line.starts_with(to)) inside = false;
        if (inside)
            if (std::string name = pick(previous, line); !name.empty()) names.insert(name);
        previous = line;
    }
    return names;
}

TEST(SimCommand, TheTableNamesTheCommandsOfTheReadmeAndTheManualPage) {
    std::set<std::string> table;
    for (const CommandEntry& entry : command_table()) {
        table.insert(std::string(entry.name));
        EXPECT_TRUE(entry.usage.starts_with(std::string(entry.name) + " ") || entry.usage == entry.name)
            << entry.name;
    }
    auto readme =
        names_in("tools/sim/README.md", "## Script commands", "### One tunnel", [](auto&, auto& line) {
            return line.starts_with("| `") ? line.substr(3, line.find_first_of(" `", 3) - 3) : std::string();
        });
    auto manual =
        names_in("man/vantrel-sim.1.in", ".SH COMMANDS", ".SH STAMP", [](auto& previous, auto& line) {
            if (!previous.starts_with(".TP") && !previous.starts_with(".TQ")) return std::string();
            std::istringstream words(line);
            std::string macro, name;
            words >> macro >> name;
            std::erase(name, '"');
            return unescaped(name);
        });
    EXPECT_EQ(readme, table);
    EXPECT_EQ(manual, table);
}

TEST(SimCli, TheOptionTablesNameTheOptionsOfTheReadmeAndTheManualPage) {
    // Every "--name" in the first cell of a README table row, or in a manual page's option tag.
    auto options_in = [](std::string_view line, std::string_view quote) {
        std::set<std::string> names;
        std::string text = unescaped(line);
        for (std::size_t at = 0; (at = text.find(std::string(quote) + "--", at)) != std::string::npos;) {
            std::size_t start = at + quote.size(), end = text.find_first_of(" `\"=", start);
            names.insert(text.substr(start, end - start));
            at = start;
        }
        return names;
    };
    auto readme = [&](std::string_view from, std::string_view to) {
        return names_in("tools/sim/README.md", from, to, [&](auto&, const std::string& line) {
            std::set<std::string> names = line.starts_with("| `-")
                                              ? options_in(line.substr(0, line.find(" | ")), "`")
                                              : std::set<std::string>{};
            return std::accumulate(
                names.begin(), names.end(), std::string(),
                [](std::string a, const std::string& b) { return a.empty() ? b : a + " " + b; });
        });
    };
    auto manual = [&](std::string_view from, std::string_view to) {
        return names_in(
            "man/vantrel-sim.1.in", from, to, [&](const std::string& previous, const std::string& line) {
                if (!previous.starts_with(".TP")) return std::string();
                std::set<std::string> names = options_in(" " + line, " ");
                return std::accumulate(
                    names.begin(), names.end(), std::string(),
                    [](std::string a, const std::string& b) { return a.empty() ? b : a + " " + b; });
            });
    };
    auto split = [](const std::set<std::string>& rows) {
        std::set<std::string> names;
        for (const std::string& row : rows)
            for (std::string_view word : split_words(row)) names.emplace(word);
        names.erase("--help");  // --help and --version stand outside the tables
        names.erase("--version");
        return names;
    };
    for (bool receive : {false, true}) {
        std::set<std::string> table;
        for (std::string_view name : option_names(receive)) table.emplace(name);
        auto from_readme = receive ? readme("## Receiver", "Each second") : readme("## Options", "## Output");
        auto from_manual =
            receive ? manual(".SS Receive options", ".SH OUTPUT") : manual(".SH OPTIONS", ".SS Receive");
        EXPECT_EQ(split(from_readme), table) << "receive: " << receive;
        EXPECT_EQ(split(from_manual), table) << "receive: " << receive;
    }
}

TEST(SimCli, TakesGnuFormsOfOptions) {
    auto config = [](std::vector<std::string> args) {
        args.insert(args.begin(), "vantrel-sim");
        auto parsed = parse_command_line(args);
        EXPECT_TRUE(parsed && std::holds_alternative<SimConfig>(*parsed)) << (parsed ? "" : parsed.error());
        return parsed && std::holds_alternative<SimConfig>(*parsed) ? std::get<SimConfig>(*parsed)
                                                                    : SimConfig{};
    };
    auto serials = [](const SimConfig& c) {
        std::vector<std::string> plugged;
        for (const Command& command : c.startup)
            if (command.op == Op::Plug) plugged.push_back(command.serial);
        return plugged;
    };
    SimConfig bundled = config({"-sqdA", "--dur=1.5", "--device", "B", "-d", "C", "--tcp=[::1]:27015", "--"});
    EXPECT_TRUE(bundled.script_stdin);
    EXPECT_TRUE(bundled.quiet);
    EXPECT_EQ(bundled.duration_ms, 1500u);
    EXPECT_EQ(serials(bundled), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(bundled.tcp_address, "[::1]:27015");
    // --at takes two arguments; after "--" nothing is an option.
    SimConfig scheduled = config({
        "--at=0.5",
        "plug LATER",
        "--no-dev",
        "--",
    });
    ASSERT_EQ(scheduled.scheduled.size(), 1u);
    EXPECT_EQ(scheduled.scheduled[0].first, 500u);
    EXPECT_EQ(scheduled.scheduled[0].second.serial, "LATER");
    EXPECT_TRUE(serials(scheduled).empty());
    auto after_dashes = parse_command_line({"vantrel-sim", "--", "--quiet"});
    ASSERT_FALSE(after_dashes);
    EXPECT_EQ(after_dashes.error(), "unexpected argument --quiet");
    // A second parse starts afresh (getopt's state is process-wide).
    EXPECT_EQ(config({"--device-hex=4142", "--connection-type", "network"}).startup.at(0).connection,
              ConnectionType::Network);
}

TEST(SimText, HexRangeAndSecondsHelpers) {
    EXPECT_EQ(to_hex(std::vector<std::uint8_t>{0x00, 0xAB, 0x7F}, 2), "00ab");
    EXPECT_EQ(to_hex(std::vector<std::uint8_t>{}), "-");
    EXPECT_EQ(parse_hex("00aBff"), (std::vector<std::uint8_t>{0x00, 0xAB, 0xFF}));
    EXPECT_EQ(parse_range("10-5"), std::nullopt);
    EXPECT_EQ(parse_seconds_ms("0.25"), 250u);
}

// A payload parsed by libplist, as the bridge parses it; empty when libplist refuses it.
net::Plist parsed(const std::vector<std::uint8_t>& payload) {
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(payload.data()),
                      static_cast<std::uint32_t>(payload.size()), &root);
    return net::Plist(root);
}

std::size_t occurrences(const std::vector<std::uint8_t>& payload, std::string_view text) {
    std::string bytes(payload.begin(), payload.end());
    std::size_t n = 0;
    for (std::size_t at = 0; (at = bytes.find(text, at)) != std::string::npos; ++at) ++n;
    return n;
}

TEST(SimReplies, HostileShapesParseWithLibplistToTheShapesMeant) {
    Devices devices;
    devices.plug("00008030-001A2B3C4D5E6F70");
    devices.plug("NET-1", ConnectionType::Network);
    devices.plug("NONE-1", ConnectionType::None);
    auto list_of = [&](ListReply mode, std::uint32_t number, std::uint32_t size = 0) {
        auto payload = list_payload({mode, number, size}, devices.all());
        net::Plist root = parsed(payload);
        EXPECT_TRUE(root) << static_cast<int>(mode);
        return std::pair{std::move(root), payload};
    };
    auto item = [](plist_t node, const char* key) { return node ? plist_dict_get_item(node, key) : nullptr; };
    auto text = [](plist_t node) {
        std::uint64_t length = 0;
        const char* s =
            node && plist_get_node_type(node) == PLIST_STRING ? plist_get_string_ptr(node, &length) : "";
        return std::string(s, length);
    };

    // The connection types as listed, and a serial with hyphens kept whole.
    auto [normal, normal_bytes] = list_of(ListReply::Normal, 0);
    plist_t list = item(static_cast<plist_t>(normal.get()), "DeviceList");
    ASSERT_EQ(plist_array_get_size(list), 3u);
    auto props = [&](std::uint32_t i) { return item(plist_array_get_item(list, i), "Properties"); };
    EXPECT_EQ(text(item(props(0), "SerialNumber")), "00008030-001A2B3C4D5E6F70");
    EXPECT_EQ(text(item(props(0), "ConnectionType")), "USB");
    EXPECT_EQ(text(item(props(1), "ConnectionType")), "Network");
    EXPECT_EQ(item(props(2), "ConnectionType"), nullptr);

    // Many references to one string object: the string's bytes are there once.
    auto [shared, shared_bytes] = list_of(ListReply::SharedList, 5, 20);
    list = item(static_cast<plist_t>(shared.get()), "DeviceList");
    ASSERT_EQ(plist_array_get_size(list), 5u);
    EXPECT_EQ(text(plist_array_get_item(list, 4)), std::string(20, 'x'));
    EXPECT_EQ(occurrences(shared_bytes, std::string(20, 'x')), 1u);
    auto [side, side_bytes] = list_of(ListReply::SharedSide, 4, 16);
    EXPECT_EQ(plist_array_get_size(item(static_cast<plist_t>(side.get()), "DeviceList")), 0u);
    EXPECT_EQ(plist_array_get_size(item(static_cast<plist_t>(side.get()), "Shared")), 4u);
    EXPECT_EQ(occurrences(side_bytes, std::string(16, 'x')), 1u);

    // Entries the bridge must skip, each its own object, then the devices.
    for (ListReply mode : {ListReply::NoSerialXml, ListReply::NoSerialBinary, ListReply::EmptyDictXml,
                           ListReply::EmptyDictBinary}) {
        auto [root, bytes] = list_of(mode, 20);
        list = item(static_cast<plist_t>(root.get()), "DeviceList");
        ASSERT_EQ(plist_array_get_size(list), 23u) << static_cast<int>(mode);
        bool empty = mode == ListReply::EmptyDictXml || mode == ListReply::EmptyDictBinary;
        plist_t first = plist_array_get_item(list, 0), last_skipped = plist_array_get_item(list, 19);
        EXPECT_EQ(plist_dict_get_size(first), empty ? 0u : 1u);
        if (!empty) {
            std::uint64_t a = 0, b = 0;
            plist_get_uint_val(item(item(first, "Properties"), "DeviceID"), &a);
            plist_get_uint_val(item(item(last_skipped, "Properties"), "DeviceID"), &b);
            EXPECT_NE(a, b);
            EXPECT_EQ(item(item(first, "Properties"), "SerialNumber"), nullptr);
        }
        EXPECT_EQ(text(item(item(plist_array_get_item(list, 20), "Properties"), "SerialNumber")),
                  "00008030-001A2B3C4D5E6F70");
    }
    // Past 65,536 objects the references take three bytes.
    auto [many, many_bytes] = list_of(ListReply::EmptyDictBinary, 70'000);
    EXPECT_EQ(plist_array_get_size(item(static_cast<plist_t>(many.get()), "DeviceList")), 70'003u);
    EXPECT_EQ(many_bytes[many_bytes.size() - 25], 3) << "reference size in the trailer";

    // Attribute values that look like markup do not change the nesting libplist sees: 7 levels down
    // to the first device's "Properties".
    auto [tricky, tricky_bytes] = list_of(ListReply::NestedAttributes, 7);
    for (std::string_view attribute : {"<dict a=\"<!--\">", "<array a=\"<\">", "<array a=\"/>\">"})
        EXPECT_GE(occurrences(tricky_bytes, attribute), 1u) << attribute;
    plist_t node = item(static_cast<plist_t>(tricky.get()), "DeviceList");
    for (int level = 2; level < 5; ++level) {
        ASSERT_EQ(plist_get_node_type(node), PLIST_ARRAY) << level;
        node = plist_array_get_item(node, 0);
    }
    EXPECT_EQ(text(item(item(plist_array_get_item(node, 0), "Properties"), "SerialNumber")),
              "00008030-001A2B3C4D5E6F70");

    // A successful Connect answer with a side array of shared references.
    auto result = result_payload(0, {ConnectReply::SharedSide, 3, 16});
    net::Plist answer = parsed(result);
    ASSERT_TRUE(answer);
    std::uint64_t number = 1;
    plist_get_uint_val(item(static_cast<plist_t>(answer.get()), "Number"), &number);
    EXPECT_EQ(number, 0u);
    EXPECT_EQ(plist_array_get_size(item(static_cast<plist_t>(answer.get()), "Shared")), 3u);
    EXPECT_EQ(occurrences(result, std::string(16, 'x')), 1u);
}

TEST(SimGenerator, PacesPacketsByRateFromItsStart) {
    StreamSettings settings;
    settings.rate = 4;  // one packet every 250 ms
    settings.size_min = settings.size_max = 10;
    Generator gen(settings, 5000, SECOND);
    OutBuffer out;
    gen.fill(out, SECOND, 1 << 20);
    EXPECT_EQ(gen.sent(), 1u) << "packet 0 is due at the start";
    EXPECT_EQ(gen.next_due_ns(), SECOND + SECOND / 4);
    gen.fill(out, SECOND + SECOND / 4 - 1, 1 << 20);
    EXPECT_EQ(gen.sent(), 1u);
    gen.fill(out, SECOND + SECOND / 4, 1 << 20);
    EXPECT_EQ(gen.sent(), 2u);
    gen.fill(out, 3 * SECOND, 1 << 20);  // behind schedule: every due packet goes at once
    EXPECT_EQ(gen.sent(), 9u);
    EXPECT_EQ(frames_in(out).size(), 9u);
    EXPECT_EQ(out.size(), 9u * 14);
}

TEST(SimGenerator, RateZeroFillsUpToTheHighWaterMark) {
    StreamSettings settings;
    settings.size_min = settings.size_max = 996;
    Generator gen(settings, 5000, 0);
    OutBuffer out;
    EXPECT_TRUE(gen.due(0));
    gen.fill(out, 0, 10'000);
    EXPECT_EQ(gen.sent(), 10u) << "whole frames until the buffer holds at least 10000 bytes";
    EXPECT_EQ(gen.next_due_ns(), std::nullopt);
}

TEST(SimGenerator, StampsCountsSkipsAndFinishes) {
    StreamSettings settings;
    settings.size_min = 24;
    settings.size_max = 64;
    settings.stamp = true;
    settings.count = 8;
    settings.skip = std::pair<std::uint64_t, std::uint64_t>{2, 3};
    settings.stream_id = 42;
    Generator gen(settings, 5000, 0);
    OutBuffer out;
    gen.fill(out, 777, 1 << 20);
    EXPECT_TRUE(gen.finished());
    EXPECT_EQ(gen.sent(), 6u);
    std::vector<std::uint64_t> sequences;
    std::uint64_t bytes = 0;
    for (const auto& payload : frames_in(out)) {
        EXPECT_GE(payload.size(), 24u);
        EXPECT_LE(payload.size(), 64u);
        auto stamp = read_stamp(payload.data(), payload.size());
        ASSERT_TRUE(stamp);
        EXPECT_EQ(stamp->stream_id, 42u);
        EXPECT_EQ(stamp->sent_ns, 777u);
        sequences.push_back(stamp->sequence);
        bytes += payload.size();
    }
    EXPECT_EQ(sequences, (std::vector<std::uint64_t>{0, 1, 4, 5, 6, 7}));
    EXPECT_EQ(gen.bytes(), bytes);
}

TEST(SimGenerator, WaitsForAPipeUntilItIsReadable) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    auto source = FileSource::open("/dev/fd/" + std::to_string(fds[0]), false);
    ASSERT_TRUE(source) << source.error();
    EXPECT_TRUE((*source)->pollable());

    StreamSettings settings;
    settings.size_min = settings.size_max = 4;
    settings.file = "/dev/fd/" + std::to_string(fds[0]);
    Generator gen(settings, 5000, 0, *source);
    OutBuffer out;
    gen.fill(out, 0, 1 << 20);
    EXPECT_TRUE(gen.starved());
    EXPECT_EQ(out.size(), 0u);
    ASSERT_EQ(::write(fds[1], "abcdef", 6), 6);
    gen.fill(out, 0, 1 << 20);
    EXPECT_TRUE(gen.starved()) << "not read before the loop saw it readable";
    (*source)->mark_readable();
    gen.fill(out, 0, 1 << 20);
    ::close(fds[1]);
    (*source)->mark_readable();
    gen.fill(out, 0, 1 << 20);
    EXPECT_TRUE(gen.finished());
    auto frames = frames_in(out);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(std::string(frames[0].begin(), frames[0].end()), "abcd");
    EXPECT_EQ(std::string(frames[1].begin(), frames[1].end()), "ef");
    ::close(fds[0]);
}

TEST(SimStats, SequenceTrackerCountsGapsLateArrivalsAndRestarts) {
    SequenceTracker t;
    for (std::uint64_t s : std::vector<std::uint64_t>{5, 6, 9, 7, 10, 10}) t.add(s);
    EXPECT_EQ(t.received(), 6u);
    EXPECT_EQ(t.lost(), 1u) << "8 never came; 7 came late";
    EXPECT_EQ(t.out_of_order(), 1u);
    EXPECT_EQ(t.duplicates(), 1u);
    for (std::uint64_t s : std::vector<std::uint64_t>{0, 1, 3}) t.add(s);
    EXPECT_EQ(t.restarts(), 1u);
    EXPECT_EQ(t.lost(), 2u);
}

TEST(SimStats, HistogramPercentilesAreWithinTwoPercent) {
    LatencyHistogram h;
    EXPECT_EQ(h.percentile(0.5), 0u);
    for (std::uint64_t v = 1; v <= 10'000; ++v) h.add(v * 1000);
    EXPECT_EQ(h.count(), 10'000u);
    EXPECT_EQ(h.max(), 10'000'000u);
    EXPECT_NEAR(static_cast<double>(h.percentile(0.5)), 5'000'000.0, 100'000.0);
    EXPECT_NEAR(static_cast<double>(h.percentile(0.99)), 9'900'000.0, 198'000.0);
    EXPECT_LE(h.percentile(1.0), h.max());
    LatencyHistogram small;
    for (std::uint64_t v : std::vector<std::uint64_t>{3, 7, 40}) small.add(v);
    EXPECT_EQ(small.percentile(0.5), 7u) << "exact below 64 ns";
    h.merge(small);
    EXPECT_EQ(h.count(), 10'003u);
    h.clear();
    EXPECT_EQ(h.count(), 0u);
}

TEST(SimOutBuffer, KeepsBytesInOrderAcrossGrowthAndCompaction) {
    OutBuffer out;
    std::vector<std::uint8_t> expected;
    std::uint8_t next = 0;
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint8_t> chunk(static_cast<std::size_t>(round * 37 % 5000 + 1));
        for (auto& b : chunk) b = next++;
        out.append(chunk);
        expected.insert(expected.end(), chunk.begin(), chunk.end());
        std::size_t take = std::min(out.size(), static_cast<std::size_t>(round * 53 % 7000));
        ASSERT_TRUE(std::equal(out.data(), out.data() + take, expected.begin()));
        out.consume(take);
        expected.erase(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(take));
    }
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(std::equal(out.data(), out.data() + out.size(), expected.begin()));
}

}  // namespace
}  // namespace vantrel::sim
