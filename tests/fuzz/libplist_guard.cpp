#include "libplist_guard.h"

#include "mux/plist_values.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

namespace vantrel::fuzz {
namespace {

// The binary walk reads the layout exactly as libplist's reader does wherever that reader goes on,
// and goes on wherever it stops: so it never sees fewer containers on a path than the reader would.

constexpr std::size_t BINARY_HEADER_SIZE = 8;  // "bplist00"
constexpr unsigned TYPE_INT = 0x1;
constexpr unsigned TYPE_ARRAY = 0xA;
constexpr unsigned TYPE_ORDERED_SET = 0xB;
constexpr unsigned TYPE_SET = 0xC;
constexpr unsigned TYPE_DICT = 0xD;
constexpr unsigned COUNT_FOLLOWS = 0xF;

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

using vantrel::mux::detail::BinaryTrailer;
using vantrel::mux::detail::load_be;

class BinaryObjects {
public:
    // nullopt when the trailer describes no object table; the reader rejects such a list as well.
    static std::optional<BinaryObjects> open(std::span<const std::uint8_t> list) {
        const auto trailer = BinaryTrailer::read(list);
        if (!trailer) return std::nullopt;
        return BinaryObjects(list, *trailer);
    }

    std::uint64_t count() const { return t_.count; }
    std::uint64_t top() const { return t_.top; }

    // The container at object `index` (below count()); nullopt for any other object, and for a
    // container the reader cannot read.
    std::optional<Container> container(std::uint64_t index) const {
        const std::uint64_t at = t_.offset_of(list_, index);
        if (at < BINARY_HEADER_SIZE || at >= t_.table) return std::nullopt;
        const unsigned type = list_[at] >> 4;
        if (type != TYPE_ARRAY && type != TYPE_ORDERED_SET && type != TYPE_SET && type != TYPE_DICT)
            return std::nullopt;
        Container container{type == TYPE_DICT, at + 1, list_[at] & 0xFu};
        if (container.count == COUNT_FOLLOWS) {
            // The count is an integer object of 2^n bytes of its own (at + 1 < table + 1 <= end).
            const std::uint8_t marker = list_[at + 1];
            if (marker >> 4 != TYPE_INT) return std::nullopt;
            const std::uint64_t width = std::uint64_t{1} << (marker & 0xFu);
            if (at + 2 + width > t_.table) return std::nullopt;
            container.count = load_be(list_.data() + at + 2, width);
            container.refs = at + 2 + width;
        }
        return container;
    }

    // Reference `n` of `container` (a dictionary's keys, then its values). Positions are computed
    // modulo 2^64 as the reader's pointer arithmetic does; End when it lies outside the objects.
    Ref reference(const Container& container, std::uint64_t n) const {
        const std::uint64_t at = container.refs + n * t_.ref_size;
        if (at > t_.table || t_.table - at < t_.ref_size) return {RefKind::End};
        const std::uint64_t object = load_be(list_.data() + at, t_.ref_size);
        if (object >= t_.count) return {RefKind::Invalid};
        return {RefKind::Object, object};
    }

private:
    BinaryObjects(std::span<const std::uint8_t> list, const BinaryTrailer& trailer)
        : list_(list), t_(trailer) {}

    std::span<const std::uint8_t> list_;
    BinaryTrailer t_;
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
