// Measures the reply reader on replies up to the 1,000,000-byte payload limit, the shapes that once
// cost the bridge without bound among them: each is read (parse, every device entry visited, the
// Connect result code looked up) by a fresh process of its own (this program with --read FILE), so
// that its peak resident memory (VmHWM) less that of a process which reads nothing is what reading
// costs, the payload's buffer included.
// Usage: reply_reader [repetitions]   (default 5; prints a Markdown table)
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mux/connect.h"
#include "mux/devices.h"
#include "mux/reply.h"
#include "support/hostile_replies.h"

// Every heap allocation of this program, the reader's and expat's included, goes through these: the
// bytes in use and their peak, counted from where the reading process starts counting.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}
namespace {
std::size_t g_in_use = 0;
std::size_t g_peak = 0;
void count_in(void* pointer) {
    if (pointer == nullptr) return;
    g_in_use += ::malloc_usable_size(pointer);
    g_peak = std::max(g_peak, g_in_use);
}
void count_out(void* pointer) {
    if (pointer != nullptr) g_in_use -= std::min(g_in_use, ::malloc_usable_size(pointer));
}
}  // namespace
extern "C" {
void* malloc(std::size_t size) {
    void* pointer = __libc_malloc(size);
    count_in(pointer);
    return pointer;
}
void* calloc(std::size_t count, std::size_t size) {
    void* pointer = __libc_calloc(count, size);
    count_in(pointer);
    return pointer;
}
void* realloc(void* pointer, std::size_t size) {
    count_out(pointer);
    void* moved = __libc_realloc(pointer, size);
    count_in(moved != nullptr ? moved : (size == 0 ? nullptr : pointer));
    return moved;
}
void free(void* pointer) {
    count_out(pointer);
    __libc_free(pointer);
}
}

namespace {

namespace hostile = vantrel::test::hostile;
using Clock = std::chrono::steady_clock;

struct Shape {
    const char* name;
    std::string payload;
};

// What one reading reports.
struct Outcome {
    double milliseconds = 0;
    std::uint64_t entries = 0;  // visited
    bool accepted = false;
    long peak_kb = 0;           // the reading process's peak resident memory
    std::size_t heap_peak = 0;  // the most heap bytes in use while reading, the payload's buffer included
};

// In a process of its own: reads the payload of `path` into a buffer of its size and hands that to
// the reader, as read_response does, then visits every entry; prints the time and what it found.
int read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::uintmax_t size = std::filesystem::file_size(path);
    g_in_use = g_peak = 0;
    std::vector<std::uint8_t> payload(size);
    in.read(reinterpret_cast<char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    // This process's own peak so far (ru_maxrss would count the parent it was forked from as well).
    auto peak_kb = [] {
        long kb = 0;
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmHWM:")) kb = std::atol(line.c_str() + 6);
        return kb;
    };
    const auto start = Clock::now();
    std::uint64_t entries = 0;
    auto reply = vantrel::mux::Reply::parse(std::move(payload));
    const bool accepted = reply.has_value();
    std::optional<vantrel::mux::DeviceList> list;  // kept until the end: its freeing is not timed
    if (reply) {
        volatile std::int64_t code = vantrel::mux::connect_result_code(*reply);
        (void)code;
        list.emplace(std::move(*reply));
        list->visit([&](const vantrel::mux::DeviceEntry&) {
            ++entries;
            return true;
        });
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const long peak = peak_kb();
    std::printf("%.3f %llu %d %ld %zu\n", ms, static_cast<unsigned long long>(entries), accepted ? 1 : 0,
                peak, g_peak);
    return 0;
}

// Runs this program with --read `file`: its report and its peak resident memory.
Outcome read_in_child(const std::string& file) {
    int out[2];
    if (::pipe(out) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl("/proc/self/exe", "reply_reader", "--read", file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    char report[128] = {};
    const ssize_t n = ::read(out[0], report, sizeof report - 1);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Outcome outcome;
    unsigned long long entries = 0;
    int accepted = 0;
    if (n <= 0 || std::sscanf(report, "%lf %llu %d %ld %zu", &outcome.milliseconds, &entries, &accepted,
                              &outcome.peak_kb, &outcome.heap_peak) != 5)
        std::fprintf(stderr, "reply_reader: a reading process failed\n");
    outcome.entries = entries;
    outcome.accepted = accepted != 0;
    return outcome;
}

std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--read") return read_file(argv[2]);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<Shape> shapes = {
        {"usbmuxd's own reply, one device (XML)",
         hostile::xml_plist("<dict><key>DeviceList</key><array>" +
                            hostile::xml_entry("3", "00008030-001A2D3C0E12802E") + "</array></dict>")},
        {"500,000 references to one 400 KB string, list and Connect answer (binary)",
         hostile::shared_string_list()},
        {"empty list beside a side key of a shared 400 KB string (binary)",
         hostile::side_key_shared_string()},
        {"500,000 references to one entry with a 400 KB serial (binary)", hostile::shared_entry_list()},
        {"50,000 references to one entry with a 450,000-unit UTF-16 serial (binary)",
         hostile::shared_utf16_serial()},
        {"142,000 entries (XML)", hostile::many_skipped_entries_xml()},
        {"142,000 entries (binary)", hostile::many_skipped_entries_binary()},
        {"6,000 devices (XML)", hostile::many_devices_xml()},
        {"76,000 entries sharing one Properties (binary)", hostile::many_entries_shared_properties()},
        {"25,000 devices, each its own Properties (binary)", hostile::many_devices_binary()},
        {"40,000 keys before DeviceList (XML)", hostile::many_keys_xml()},
        {"40,000 UTF-16 keys (binary)", hostile::many_utf16_keys_binary()},
        {"one string of 1,000,000 bytes (XML)",
         hostile::xml_plist("<dict><key>Pad</key><string>" + std::string(999'780, 'x') + "</string></dict>")},
        {"66,000 nested arrays (XML)", hostile::deep_xml()},
        {"99,999 nested arrays (binary)", hostile::deep_binary()},
        {"80,000 overlapping aliases of one array of 80,000 references (binary)",
         hostile::overlapping_aliases(80'000)},
    };

    char dir_template[] = "/tmp/reply-reader-XXXXXX";
    if (::mkdtemp(dir_template) == nullptr) return 1;
    const std::string file = std::string(dir_template) + "/payload";
    auto write_payload = [&](const std::string& payload) {
        std::ofstream(file, std::ios::binary) << payload;
    };
    // A process that reads an empty payload: what every reading process holds before it reads.
    write_payload("");
    long baseline = 0;
    for (int i = 0; i < 3; ++i) baseline = std::max(baseline, read_in_child(file).peak_kb);

    std::printf(
        "Peak resident memory of a process that reads nothing: %s KB. Below, what reading adds to it\n"
        "(VmHWM, which Linux counts to within a few hundred KB), and the most heap bytes in use while\n"
        "reading (every allocation counted); the payload's own buffer is included in both. Medians and\n"
        "maxima of %d runs.\n\n",
        grouped(static_cast<std::uint64_t>(baseline)).c_str(), repetitions);
    std::printf(
        "| Shape | Payload bytes | Read | Entries visited | Median ms | Max ms | Peak RSS added | Peak heap "
        "|\n");
    std::printf("|---|---:|---|---:|---:|---:|---:|---:|\n");
    int status = 0;
    for (const Shape& shape : shapes) {
        if (shape.payload.size() > hostile::PAYLOAD_LIMIT) {
            std::fprintf(stderr, "reply_reader: %s is %zu bytes, above the limit\n", shape.name,
                         shape.payload.size());
            status = 1;
            continue;
        }
        write_payload(shape.payload);
        std::vector<double> times;
        long peak = 0;
        std::size_t heap = 0;
        Outcome last;
        for (int i = 0; i < repetitions; ++i) {
            last = read_in_child(file);
            times.push_back(last.milliseconds);
            peak = std::max(peak, last.peak_kb);
            heap = std::max(heap, last.heap_peak);
        }
        std::sort(times.begin(), times.end());
        std::printf("| %s | %s | %s | %s | %.1f | %.1f | %s KB | %s KB |\n", shape.name,
                    grouped(shape.payload.size()).c_str(), last.accepted ? "accepted" : "turned away",
                    grouped(last.entries).c_str(), times[times.size() / 2], times.back(),
                    grouped(static_cast<std::uint64_t>(std::max(peak - baseline, 0L))).c_str(),
                    grouped((heap + 1023) / 1024).c_str());
    }
    std::filesystem::remove_all(dir_template);
    return status;
}
