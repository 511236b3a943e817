#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/ (run from anywhere).

Each seed is one input in the format that the target's file header describes: real daemon replies in XML
and binary form, and framed streams at the receive limits, split and interrupted in meaningful places.
"""
import datetime
import pathlib
import plistlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def write(target, name, data):
    path = HERE / "corpus" / target / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(bytes(data))


# --- mux_reply: byte 0 is the flags (bit 0: fix the header length), then the daemon's bytes ---

def header(length, tag=1, version=1, message_type=8):
    return struct.pack("<IIII", length, version, message_type, tag)


def message(payload, tag=1):
    return header(16 + len(payload), tag) + payload


def xml(value):
    return plistlib.dumps(value, fmt=plistlib.FMT_XML)


def binary(value):
    return plistlib.dumps(value, fmt=plistlib.FMT_BINARY)


def device(device_id, serial):
    return {"DeviceID": device_id, "MessageType": "Attached",
            "Properties": {"ConnectionSpeed": 480000000, "ConnectionType": "USB", "DeviceID": device_id,
                           "LocationID": 0, "ProductID": 4776, "SerialNumber": serial}}


ONE_DEVICE = {"DeviceList": [device(3, "00008030-001A2D3C0E12802E")]}
MIXED = {"DeviceList": [
    "not a dictionary",
    {"MessageType": "Attached"},                                    # no Properties
    {"Properties": {"DeviceID": "7", "SerialNumber": "TEXT-ID"}},   # identifier is text
    {"Properties": {"DeviceID": 8}},                                # no serial number
    {"Properties": {"DeviceID": -5, "SerialNumber": "NEGATIVE"}},
    {"Properties": {"DeviceID": 2**64 - 1, "SerialNumber": "LARGEST"}},
    {"Properties": {"DeviceID": 2**32 + 9, "SerialNumber": "WIDE"}},
    device(11, "Ünïcödé-serial-longer-than-twelve"),
]}

mux = {
    "xml-device-list-empty": message(xml({"DeviceList": []})),
    "xml-device-list-one": message(xml(ONE_DEVICE)),
    "xml-device-list-mixed": message(xml(MIXED)),
    "bin-device-list-one": message(binary(ONE_DEVICE)),
    "bin-device-list-mixed": message(binary(MIXED)),
    "xml-connect-ok-then-tunnel-bytes": message(xml({"MessageType": "Result", "Number": 0}), tag=2)
    + bytes.fromhex("00000003fe0001"),
    "xml-connect-refused-3": message(xml({"MessageType": "Result", "Number": 3}), tag=2),
    "xml-connect-negative": message(xml({"MessageType": "Result", "Number": -1}), tag=2),
    "xml-connect-above-int64": message(xml({"MessageType": "Result", "Number": 2**63}), tag=2),
    "xml-connect-number-is-text": message(xml({"MessageType": "Result", "Number": "3"}), tag=2),
    "bin-connect-unknown-device-2": message(binary({"MessageType": "Result", "Number": 2}), tag=2),
    "xml-root-array": message(xml(["DeviceList"])),
    "bin-root-string": message(binary("Result")),
    "xml-truncated": message(xml(ONE_DEVICE)[:120]),
    "bin-truncated": message(binary(ONE_DEVICE)[:40]),
    "other-tag-version-type": header(16 + len(xml({"DeviceList": []})), tag=77, version=2, message_type=3)
    + xml({"DeviceList": []}),
    "length-16-no-payload": header(16),
    "length-15": header(15),
    "length-17-one-byte": header(17) + b"<",
    "length-above-limit": header(1_000_017) + b"<?xml",
    "length-at-limit-short-payload": header(1_000_016) + xml({"DeviceList": []}),
    "half-header": header(237)[:8],
}


# Replies nested around the limit of 32 arrays and dictionaries; the committed ones stay small, the
# fuzzer deepens them.
def nested(levels, leaf=None):
    value = [] if leaf is None else leaf
    for _ in range(levels - 1):
        value = [value]
    return {"k": value}


def shared(levels, fan_out=2):
    """A dictionary over arrays that each hold the next one `fan_out` times (one object, many references)."""
    value = []
    for _ in range(levels - 1):
        value = [value] * fan_out
    return {"k": value}


def binary_objects(objects, ref_size=1, offset_size=1):
    """A binary list of raw objects (marker and body), object 0 at the top."""
    out = bytearray(b"bplist00")
    offsets = []
    for obj in objects:
        offsets.append(len(out))
        out += obj
    table = len(out)
    for offset in offsets:
        out += offset.to_bytes(offset_size, "big")
    return bytes(out) + bytes(6) + bytes([offset_size, ref_size]) + struct.pack(">QQQ", len(objects), 0, table)


XML_NOT_NESTING = (b"<array/><array /><!-- <array><dict> --><?pi <array> ?>"
                   b"<string><![CDATA[<array><dict>]]></string>")
mux.update({
    "bin-nested-33-one-too-deep": message(binary(nested(32))),
    "bin-nested-32-at-limit": message(binary(nested(31))),
    "bin-nested-100": message(binary(nested(99))),
    "xml-nested-33-one-too-deep": message(xml(nested(32))),
    "xml-nested-32-at-limit": message(xml(nested(31))),
    "xml-nested-100": message(xml(nested(99))),
    "xml-at-limit-with-comments-cdata-and-empty-arrays": message(
        xml(nested(31, "MARK")).replace(b"<string>MARK</string>", XML_NOT_NESTING)),
    "bin-shared-arrays-5-levels": message(binary(shared(5))),
    "bin-shared-arrays-100-levels": message(binary(shared(100))),
    "bin-shared-arrays-expanding-24-levels": message(binary(shared(24))),
    "bin-array-holds-itself": message(binary_objects([b"\xa1\x00"])),
    "bin-cycle-of-two-below-dict": message(binary_objects([b"\xd1\x01\x02", b"\x51k", b"\xa1\x03", b"\xa1\x02"])),
})

for name, data in mux.items():
    write("mux_reply", name, b"\x00" + data)
# Length fixed by the harness: a nonsense header in front of a real reply.
write("mux_reply", "fixed-length-xml-device-list", b"\x01" + header(0xFFFFFFFF) + xml(ONE_DEVICE))



# The shapes that once cost libplist (and so the bridge) memory and time without bound, small enough
# to keep in git; the fuzzer may grow them up to the 1,000,000-byte limit.
def binary_shared_string_list(refs, text_size):
    """{"DeviceList": [s, s, ...]}: `refs` references to one string of `text_size` bytes (2-byte refs)."""
    return binary_objects([b"\xd1\x00\x01\x00\x02", b"\x5aDeviceList",
                           b"\xaf\x11" + struct.pack(">H", refs) + b"\x00\x03" * refs,
                           b"\x5f\x12" + struct.pack(">I", text_size) + b"s" * text_size], ref_size=2, offset_size=4)


MANY = {"DeviceList": [{"Properties": {"DeviceID": i, "SerialNumber": "%024X" % i}} for i in range(500)]}
write("mux_reply", "bin-shared-string-20000-references", b"\x01" + header(0) + binary_shared_string_list(20000, 4000))
write("mux_reply", "xml-device-list-500-entries", b"\x01" + header(0) + xml(MANY))
write("mux_reply", "bin-device-list-500-entries", b"\x01" + header(0) + binary(MANY))
write("mux_reply", "xml-nested-200-attribute-holds-comment-start",
      b"\x01" + header(0) + b"<plist>" + b'<dict a="&lt;!--"><key>k</key>' * 200 + b"<true/>" + b"</dict>" * 200
      + b"</plist>")


# --- plist_diff: a payload as the daemon sends it, XML or binary ---

EVERY_KIND = {"s": "text", "u": "h\u00e9\u20ac\U0001F600", "i": -5, "big": 2**64 - 1, "min": -2**63,
              "t": True, "f": False, "r": 1.5, "d": b"\x00\x01", "date": datetime.datetime(2020, 1, 2),
              "a": [1, "two", [3]], "e": {}, "uid": plistlib.UID(7)}
diff = {
    "xml-device-list-one": xml(ONE_DEVICE),
    "xml-device-list-mixed": xml(MIXED),
    "bin-device-list-one": binary(ONE_DEVICE),
    "bin-device-list-mixed": binary(MIXED),
    "xml-every-kind": xml({k: v for k, v in EVERY_KIND.items() if k != "uid"}),
    "bin-every-kind": binary(EVERY_KIND),
    "xml-connect-result": xml({"MessageType": "Result", "Number": 3}),
    "bin-connect-result": binary({"MessageType": "Result", "Number": 2**63}),
    "xml-nested-32": xml(nested(31)),
    "bin-nested-33": binary(nested(32)),
    "bin-shared-arrays-24-levels": binary(shared(24)),
    "bin-shared-string": binary_shared_string_list(50, 40),
    "bin-duplicate-keys": binary_objects([b"\xd2\x01\x01\x02\x03", b"\x51a", b"\x10\x01", b"\x10\x02"]),
    "bin-set-and-16-byte-integer": binary_objects([b"\xd2\x01\x02\x03\x04", b"\x51a", b"\x51b", b"\xc1\x01",
                                                    b"\x14" + bytes(8) + b"\xff" * 8]),
    "bin-utf16-key-and-lone-surrogate": binary_objects([b"\xd1\x01\x02", b"\x61\x00a", b"\x62\xd8\x00\x00A"]),
    "xml-duplicate-keys-and-dangling-key": b"<plist><dict><key>a</key><integer>1</integer><key>a</key>"
                                           b"<integer>2</integer><key>b</key></dict></plist>",
    "xml-entities-cdata-comments": b'<?xml version="1.0"?><!-- c --><plist version="1.0"><dict><key>a&amp;b</key>'
                                   b"<string>&#65;&#x42;<![CDATA[<x>]]><!-- y -->&lt;</string></dict></plist>",
    "xml-without-plist-element": b"<dict><key>n</key><integer> -0 </integer></dict>",
    "xml-integer-hex-libplist-only": b"<plist><dict><key>n</key><integer>0x10</integer></dict></plist>",
    "xml-text-after-root-libplist-only": b"<plist><dict></dict>junk</plist>",
    "xml-entity-declared": b'<!DOCTYPE plist [<!ENTITY e "x">]><plist><dict><key>a</key><string>&e;</string>'
                           b"</dict></plist>",
}
for name, data in diff.items():
    write("plist_diff", name, data)


# --- read_packet: byte 0 = receive limit (bits 0-2) | end of file (bit 3), then operations ---

CAPACITY = {1: 0, 2: 1, 3: 2, 7: 3, 16: 4, 255: 5, 1024: 6, 65536: 7}


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def deliver(data, piece=None):
    """Operations that deliver `data`, in pieces of `piece` bytes (largest possible when None)."""
    out = bytearray()
    while data:
        if piece is None and len(data) >= 64:
            n = min(len(data) // 64, 64) * 64
            out.append(1 | ((n // 64 - 1) << 2))
        else:
            n = min(len(data), piece or 64, 64)
            out.append(0 | ((n - 1) << 2))
        out += data[:n]
        data = data[n:]
    return out


def read(times=1, keep_payload=False):
    return bytes([2 | ((times - 1) << 2) | (16 if keep_payload else 0)])


def write_packet(payload):
    assert len(payload) < 64
    return bytes([3 | (len(payload) << 2)]) + payload


def stream(capacity, eof, *ops):
    return bytes([CAPACITY[capacity] | (8 if eof else 0)]) + b"".join(ops)


pattern = bytes(range(256)) * 4
rp = {
    "tracking-limit-then-one-above": stream(1024, True, deliver(frame(pattern[:1024])), read(),
                                            deliver(frame(b"t" * 48)), read(), deliver(b"\x00\x00\x04\x01"), read()),
    "video-prefix-one-above-limit": stream(65536, False, deliver(b"\x00\x01\x00\x01"), read()),
    "video-limit-payload-stops-halfway": stream(65536, False, deliver(b"\x00\x01\x00\x00" + pattern[:300]), read()),
    "zero-length": stream(16, False, deliver(b"\x00\x00\x00\x00"), read()),
    "prefix-split-across-nopacket": stream(16, False, deliver(b"\x00"), read(), deliver(b"\x00\x00"), read(),
                                           deliver(b"\x05hello"), read(), read()),
    "frame-then-end-of-stream": stream(255, True, deliver(frame(b"last")), read(4)),
    "end-inside-prefix": stream(255, True, deliver(frame(b"one") + b"\x00\x00")),
    "end-inside-payload": stream(255, True, deliver(frame(b"one") + b"\x00\x00\x00\x09abc")),
    "payload-stops-halfway": stream(255, False, deliver(frame(b"one") + b"\x00\x00\x00\x09abc"), read(4)),
    "health-check-exchange": stream(1024, False, write_packet(b"\xfe\x00\x01"), deliver(frame(b"\xfe\x00\x01")),
                                    read(), write_packet(b"feedback-datagram"), write_packet(b"")),
    "one-byte-pieces": stream(7, True, deliver(frame(b"abc") + frame(b"defghij") + frame(b"k"), piece=1), read(4)),
    # Nothing waiting between the bytes of each prefix; every payload arrives whole.
    "prefix-bytes-with-reads-between": stream(16, False, *[
        b"".join(deliver(frame(p)[i:i + 1]) + read() for i in range(3)) + deliver(frame(p)[3:]) + read()
        for p in (b"0123456789abcdef", b"x", b"yz")]),
    # The health check's reply stops in its payload: kept, then completed by an ordinary read.
    "health-check-reply-payload-kept-across-timeout": stream(
        1024, False, write_packet(b"\xfe\x00\x01"), deliver(frame(b"late reply")[:7]), read(keep_payload=True),
        deliver(frame(b"late reply")[7:] + frame(b"\x00\x00\x00\x05next")), read(2)),
    "limit-one": stream(1, True, deliver(frame(b"a") + frame(b"b") + frame(b"cd")), read(4)),
    "back-to-back-frames": stream(3, False, deliver(b"".join(frame(bytes([i]) * (i % 3 + 1)) for i in range(40))),
                                  read(4), read(4), read(4), read(4)),
}
for name, data in rp.items():
    write("read_packet", name, data)
