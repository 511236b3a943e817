#include "libplist_guard.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

namespace vantrel::fuzz {
namespace {

// The binary walk reads the layout exactly as libplist's reader does wherever that reader goes on,
// and goes on wherever it stops: so it never sees fewer containers on a path than the reader would.

constexpr std::size_t BINARY_HEADER_SIZE = 8;  // "bplist00"
constexpr std::size_t BINARY_TRAILER_SIZE = 32;
constexpr unsigned TYPE_INT = 0x1;
constexpr unsigned TYPE_ARRAY = 0xA;
constexpr unsigned TYPE_ORDERED_SET = 0xB;
constexpr unsigned TYPE_SET = 0xC;
constexpr unsigned TYPE_DICT = 0xD;
constexpr unsigned COUNT_FOLLOWS = 0xF;

// An n-byte big-endian number as the reader takes it: of a field wider than 8 bytes, the last 8.
std::uint64_t load_be(const std::uint8_t* in, std::uint64_t n) {
    if (n > 8) {
        in += n - 8;
        n = 8;
    }
    std::uint64_t value = 0;
    for (std::uint64_t i = 0; i < n; ++i) value = value << 8 | in[i];
    return value;
}

struct Container {
    bool dict = false;
    std::uint64_t refs = 0;   // offset of its first reference
    std::uint64_t count = 0;  // its entries (key-value pairs for a dictionary)
};

enum class RefKind { Object, Invalid, End };
struct Ref {
    RefKind kind = RefKind::Invalid;
    std::uint64_t object = 0;
};

class BinaryObjects {
public:
    // nullopt when the trailer describes no object table; the reader rejects such a list as well.
    static std::optional<BinaryObjects> open(std::span<const std::uint8_t> list) {
        if (list.size() < BINARY_HEADER_SIZE + BINARY_TRAILER_SIZE) return std::nullopt;
        const std::uint64_t end = list.size() - BINARY_TRAILER_SIZE;
        const std::uint8_t* trailer = list.data() + end;
        BinaryObjects objects(list);
        objects.offset_size_ = trailer[6];
        objects.ref_size_ = trailer[7];
        objects.count_ = load_be(trailer + 8, 8);
        objects.top_ = load_be(trailer + 16, 8);
        objects.table_ = load_be(trailer + 24, 8);
        if (objects.count_ == 0 || objects.offset_size_ == 0 || objects.ref_size_ == 0) return std::nullopt;
        if (objects.top_ >= objects.count_) return std::nullopt;
        if (objects.table_ < BINARY_HEADER_SIZE || objects.table_ >= end) return std::nullopt;
        if (objects.count_ > (end - objects.table_) / objects.offset_size_) return std::nullopt;
        return objects;
    }

    std::uint64_t count() const { return count_; }
    std::uint64_t top() const { return top_; }

    // The container at object `index` (below count()); nullopt for any other object, and for a
    // container the reader cannot read.
    std::optional<Container> container(std::uint64_t index) const {
        const std::uint64_t at = load_be(list_.data() + table_ + index * offset_size_, offset_size_);
        if (at < BINARY_HEADER_SIZE || at >= table_) return std::nullopt;
        const unsigned type = list_[at] >> 4;
        if (type != TYPE_ARRAY && type != TYPE_ORDERED_SET && type != TYPE_SET && type != TYPE_DICT)
            return std::nullopt;
        Container container{type == TYPE_DICT, at + 1, list_[at] & 0xFu};
        if (container.count == COUNT_FOLLOWS) {
            // The count is an integer object of 2^n bytes of its own (at + 1 < table_ + 1 <= end).
            const std::uint8_t marker = list_[at + 1];
            if (marker >> 4 != TYPE_INT) return std::nullopt;
            const std::uint64_t width = std::uint64_t{1} << (marker & 0xFu);
            if (at + 2 + width > table_) return std::nullopt;
            container.count = load_be(list_.data() + at + 2, width);
            container.refs = at + 2 + width;
        }
        return container;
    }

    // Reference `n` of `container` (a dictionary's keys, then its values). Positions are computed
    // modulo 2^64 as the reader's pointer arithmetic does; End when it lies outside the objects.
    Ref reference(const Container& container, std::uint64_t n) const {
        const std::uint64_t at = container.refs + n * ref_size_;
        if (at > table_ || table_ - at < ref_size_) return {RefKind::End};
        const std::uint64_t object = load_be(list_.data() + at, ref_size_);
        if (object >= count_) return {RefKind::Invalid};
        return {RefKind::Object, object};
    }

private:
    explicit BinaryObjects(std::span<const std::uint8_t> list) : list_(list) {}

    std::span<const std::uint8_t> list_;
    std::uint64_t offset_size_ = 0;
    std::uint64_t ref_size_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t top_ = 0;
    std::uint64_t table_ = 0;  // offset of the offset table, which ends the objects
};

// A container on the current path, and how far the walk has gone through its references.
struct Frame {
    std::uint64_t object;
    Container container;
    std::uint64_t next = 0;   // its next child: a dictionary's key j is child 2j, its value 2j+1
    std::uint8_t below = 0;   // the most containers on one path below it so far
    std::uint64_t nodes = 1;  // the nodes the reader builds for it and its children so far
};

// The next child of `frame` in the reader's order (key j, then value j).
Ref next_child(const BinaryObjects& objects, Frame& frame) {
    const Container& c = frame.container;
    const std::uint64_t n = frame.next;
    if (!c.dict) {
        if (n >= c.count) return {RefKind::End};
        ++frame.next;
        return objects.reference(c, n);
    }
    if (n / 2 >= c.count) return {RefKind::End};
    ++frame.next;
    return objects.reference(c, n % 2 == 0 ? n / 2 : c.count + n / 2);
}

}  // namespace

Nesting binary_plist_nesting(std::span<const std::uint8_t> list, std::size_t limit) {
    const auto objects = BinaryObjects::open(list);
    if (!objects) return Nesting::Within;

    // The reader builds a node per reference it follows, again for each reference to a shared
    // object: a list whose objects neither overlap nor share containers makes fewer than its bytes.
    const std::uint64_t max_nodes = list.size();
    // Per object: UNSEEN, ON_PATH, or the most containers on one path from it down (0 for a leaf).
    constexpr std::uint8_t UNSEEN = 0xFF;
    constexpr std::uint8_t ON_PATH = 0xFE;
    std::vector<std::uint8_t> height(objects->count(), UNSEEN);
    // Per object measured: the nodes the reader builds for it (at most max_nodes + 1).
    std::vector<std::uint32_t> nodes(objects->count(), 0);
    std::vector<Frame> path;
    std::uint64_t references_left = max_nodes;

    // Steps onto `object` from the end of the path.
    auto enter = [&](std::uint64_t object) -> std::optional<Nesting> {
        std::uint8_t& h = height[object];
        if (h == ON_PATH) return std::nullopt;  // a cycle: the reader stops right here
        if (h == UNSEEN) {
            const auto container = objects->container(object);
            if (container) {
                if (path.size() + 1 > limit) return Nesting::TooDeep;
                h = ON_PATH;
                path.push_back({object, *container});
                return std::nullopt;
            }
            h = 0;
            nodes[object] = 1;
        }
        if (path.size() + h > limit) return Nesting::TooDeep;
        if (!path.empty()) {
            Frame& parent = path.back();
            parent.below = std::max(parent.below, h);
            parent.nodes += nodes[object];
            if (parent.nodes > max_nodes) return Nesting::TooLarge;
        }
        return std::nullopt;
    };

    if (auto verdict = enter(objects->top())) return *verdict;
    while (!path.empty()) {
        Frame& frame = path.back();
        const Ref child = next_child(*objects, frame);
        if (child.kind == RefKind::End) {
            const std::uint64_t object = frame.object;
            height[object] = static_cast<std::uint8_t>(frame.below + 1);
            nodes[object] = static_cast<std::uint32_t>(frame.nodes);
            path.pop_back();
            if (auto verdict = enter(object)) return *verdict;
            continue;
        }
        // Only references of overlapping objects can outnumber the bytes.
        if (references_left-- == 0) return Nesting::TooLarge;
        if (child.kind == RefKind::Object)
            if (auto verdict = enter(child.object)) return *verdict;
    }
    return Nesting::Within;
}

}  // namespace vantrel::fuzz
