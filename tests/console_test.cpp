#include <gtest/gtest.h>

#include <string>

#include "console/console.h"
#include "console/status.h"
#include "version.h"

using namespace vantrel::console;

namespace {

const std::string E = "\x1b";

}  // namespace

TEST(Banner, LinesAreExactBytes) {
    EXPECT_EQ(banner_line1(),
              E + "[1mVantrelUSB" + E + "[0m " + E + "[2mv" + std::string(vantrel::VERSION) + E + "[0m\n");
    EXPECT_EQ(banner_line2(), E + "[2mUSB companion for Vantrel iOS" + E + "[0m\n");
    EXPECT_EQ(banner_line3(), "\n");
}

TEST(SearchLines, SpinnerCyclesThroughFourFramesAndNeverEndsInNewline) {
    const char frames[] = {'|', '/', '-', '\\'};
    for (std::uint64_t i = 0; i < 9; ++i) {
        std::string expected = E + "[2K\r" + E + "[2m[" + E + "[33m" + frames[i % 4] + E + "[0m" + E +
                               "[2m] Searching for iPhone..." + E + "[0m";
        EXPECT_EQ(searching_line(i), expected) << "counter " << i;
    }
    EXPECT_EQ(waiting_line(5), E + "[2K\r" + E + "[2m[" + E + "[33m/" + E + "[0m" + E +
                                   "[2m] Waiting for Vantrel USB mode..." + E + "[0m");
}

TEST(PermanentLines, FoundErrorGoodbyeAndDisconnectedAreExactBytes) {
    EXPECT_EQ(found_line("00008030-001A"),
              E + "[32mFound" + E + "[0m " + E + "[1m00008030-001..." + E + "[0m\n");
    EXPECT_EQ(
        error_line("I/O error: Connection refused (os error 111)"),
        E + "[31mError:" + E + "[0m " + E + "[2mI/O error: Connection refused (os error 111)" + E + "[0m\n");
    EXPECT_EQ(goodbye_line(), E + "[2mGoodbye." + E + "[0m\n");
    EXPECT_EQ(disconnected_line(), E + "[33mDisconnected." + E + "[0m Waiting for reconnect...\n");
}

TEST(SerialDisplayForm, CutsAfterTwelveBytesAtACharacterBoundary) {
    EXPECT_EQ(serial_display_form("123456789012"), "123456789012");
    EXPECT_EQ(serial_display_form("1234567890123"), "123456789012...");
    EXPECT_EQ(serial_display_form(""), "");
    // "é" is two bytes; the 12-byte cut would split the one that starts at byte 11.
    EXPECT_EQ(serial_display_form("12345678901\xc3\xa9x"), "12345678901...");
    // A three-byte character that ends exactly at byte 12 stays whole.
    EXPECT_EQ(serial_display_form("123456789\xe2\x82\xac"
                                  "ab"),
              "123456789\xe2\x82\xac...");
}

TEST(SerialDisplayForm, ShowsControlBytesAndInvalidUtf8AsQuestionMarks) {
    // A terminal title escape (ESC ] 0 ; PWN BEL), and a newline that would forge a line of its own.
    EXPECT_EQ(serial_display_form("\x1b]0;PWN\x07"), "?]0;PWN?");
    EXPECT_EQ(serial_display_form("x\nError: x"), "x?Error: x");
    EXPECT_EQ(serial_display_form(std::string("A\0B\x7f\x1f", 5)), "A?B??");
    // A stray continuation byte, a lead byte without its continuation, an overlong "/".
    EXPECT_EQ(serial_display_form("\x80\xc3(\xc0\xaf"), "?\?(?\?");  // "?\?": no trigraph
    // A UTF-16 surrogate, CSI as a UTF-8 C1 control; "é" and "€" stay.
    EXPECT_EQ(serial_display_form("\xed\xa0\x80|\xc2\x9b|\xc3\xa9\xe2\x82\xac"),
              "???|?|\xc3\xa9\xe2\x82\xac");
    // The 12-byte cut comes after the replacement.
    EXPECT_EQ(serial_display_form("\x1b[31mABCDEFGHIJ"), "?[31mABCDEFG...");
    EXPECT_EQ(serial_display_form("12345678901\xe2\x82"), "12345678901?...");
}

TEST(RouteLines, AlignUsbColumnAndFrameWithBlankLines) {
    std::string expected = "\n  " + E + "[36mVideo" + E + "[0m    " + E + "[2mUSB:5000" + E + "[0m -> " + E +
                           "[2mUDP 127.0.0.1:5000" + E + "[0m\n  " + E + "[36mTracking" + E + "[0m " + E +
                           "[2mUSB:4242" + E + "[0m -> " + E + "[2mUDP 127.0.0.1:4242" + E + "[0m\n\n";
    EXPECT_EQ(route_lines(), expected);
}

TEST(FormatRate, ThresholdsAndRoundHalfToEven) {
    EXPECT_EQ(format_rate(1'500'000), E + "[1m1.5MB/s" + E + "[0m");
    EXPECT_EQ(format_rate(1'000'000), E + "[1m1.0MB/s" + E + "[0m");
    EXPECT_EQ(format_rate(999'999), "1000KB/s");
    EXPECT_EQ(format_rate(1500), "2KB/s");
    EXPECT_EQ(format_rate(2500), "2KB/s");
    EXPECT_EQ(format_rate(1000), "1KB/s");
    EXPECT_EQ(format_rate(999.6), "1000B/s");
    EXPECT_EQ(format_rate(0.4), "0B/s");
    EXPECT_EQ(format_rate(0), E + "[2m--" + E + "[0m");
    EXPECT_EQ(format_rate(-5), E + "[2m--" + E + "[0m");
}

TEST(FormatCount, ThresholdsWithOneDecimal) {
    EXPECT_EQ(format_count(0), "0");
    EXPECT_EQ(format_count(999), "999");
    EXPECT_EQ(format_count(1000), "1.0K");
    EXPECT_EQ(format_count(999'999), "1000.0K");
    EXPECT_EQ(format_count(1'234'567), "1.2M");
    EXPECT_EQ(format_count(1'000'000), "1.0M");
    EXPECT_EQ(format_count(18'446'744'073'709'551'615ull), "18446744073709.6M");
}

TEST(StatusLine, IdleSecondShowsDimIndicatorsAndDashes) {
    StatusInputs in{.video_packets = 12,
                    .video_bytes = 500,
                    .video_feedback = 12345,
                    .tracking_packets = 1000,
                    .tracking_bytes = 70,
                    .previous_video_bytes = 500,
                    .previous_tracking_bytes = 70,
                    .dt = 1.0};
    std::string dash = E + "[2m--" + E + "[0m";
    std::string expected = E + "[2K\r  " + E + "[2mV" + E + "[0m " + dash + E + "[2m/" + E + "[0m12  " + E +
                           "[2mT" + E + "[0m " + dash + E + "[2m/" + E + "[0m1.0K  " + E + "[2mfb:" + E +
                           "[0m12345";
    EXPECT_EQ(status_line(in), expected);
}

TEST(StatusLine, RatesComeFromByteDifferencesOverElapsedTime) {
    StatusInputs in{.video_packets = 2'000'000,
                    .video_bytes = 3'000'000,
                    .video_feedback = 0,
                    .tracking_packets = 60,
                    .tracking_bytes = 4800,
                    .previous_video_bytes = 0,
                    .previous_tracking_bytes = 2400,
                    .dt = 2.0};
    std::string expected = E + "[2K\r  " + E + "[32mV" + E + "[0m " + E + "[1m1.5MB/s" + E + "[0m" + E +
                           "[2m/" + E + "[0m2.0M  " + E + "[32mT" + E + "[0m 1KB/s" + E + "[2m/" + E +
                           "[0m60  " + E + "[2mfb:" + E + "[0m0";
    EXPECT_EQ(status_line(in), expected);
}

TEST(StatusLine, NoElapsedTimeMeansZeroRates) {
    StatusInputs in{.video_bytes = 1000, .tracking_bytes = 1000, .dt = 0.0};
    std::string line = status_line(in);
    EXPECT_NE(line.find(E + "[2mV"), std::string::npos);
    EXPECT_NE(line.find(E + "[2mT"), std::string::npos);
    EXPECT_EQ(line.find("B/s"), std::string::npos);
}

TEST(ElapsedSeconds, WholeSecondsPlusNanosecondsAndNeverNegative) {
    EXPECT_DOUBLE_EQ(elapsed_seconds({10, 500'000'000}, {12, 250'000'000}), 1.75);
    EXPECT_DOUBLE_EQ(elapsed_seconds({10, 0}, {10, 0}), 0.0);
    EXPECT_DOUBLE_EQ(elapsed_seconds({12, 0}, {11, 999'999'999}), 0.0);
    EXPECT_DOUBLE_EQ(elapsed_seconds({12, 5}, {12, 4}), 0.0);
}
