#include "mux/reply.h"

#include <limits>
#include <string>
#include <variant>

#include "mux/plist_values.h"

namespace vantrel::mux {
namespace {

constexpr std::string_view BINARY_PLIST_MAGIC = "bplist00";

MuxError error_of(detail::ReadError error) {
    switch (error) {
        case detail::ReadError::InvalidXml: return MuxError::protocol(std::string(MSG_INVALID_XML_PLIST));
        case detail::ReadError::InvalidBinary:
            return MuxError::protocol(std::string(MSG_INVALID_BINARY_PLIST));
        case detail::ReadError::TooLarge: return MuxError::protocol(std::string(MSG_PLIST_TOO_LARGE));
        case detail::ReadError::TooDeep: break;
    }
    return MuxError::protocol(std::string(MSG_NESTED_TOO_DEEPLY));
}

}  // namespace

class Reply::Impl {
public:
    explicit Impl(std::vector<std::uint8_t> payload) : payload_(std::move(payload)) {}

    std::vector<std::uint8_t> payload_;
    std::variant<std::monostate, detail::XmlPlist, detail::BinaryPlist> plist_;

    template <typename F>
    decltype(auto) with(F&& f) const {
        if (const auto* xml = std::get_if<detail::XmlPlist>(&plist_)) return f(*xml);
        return f(std::get<detail::BinaryPlist>(plist_));
    }
};

Reply::Reply(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Reply::Reply(Reply&&) noexcept = default;
Reply& Reply::operator=(Reply&&) noexcept = default;
Reply::~Reply() = default;

MuxResult<Reply> Reply::parse(std::vector<std::uint8_t> payload) {
    if (payload.size() >= std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(error_of(detail::ReadError::TooLarge));
    auto impl = std::make_unique<Impl>(std::move(payload));
    const std::vector<std::uint8_t>& bytes = impl->payload_;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.starts_with(BINARY_PLIST_MAGIC)) {
        auto binary = detail::BinaryPlist::read(bytes);
        if (!binary) return std::unexpected(error_of(binary.error()));
        impl->plist_ = std::move(*binary);
    } else {
        auto xml = detail::XmlPlist::read(text);
        if (!xml) return std::unexpected(error_of(xml.error()));
        impl->plist_ = std::move(*xml);
    }
    Reply reply(std::move(impl));
    if (reply.root().kind != ValueKind::Dictionary)
        return std::unexpected(MuxError::protocol(std::string(MSG_NOT_A_DICTIONARY)));
    return reply;
}

PlistValue Reply::root() const {
    return impl_->with([](const auto& plist) { return plist.root(); });
}

std::uint32_t Reply::id_bound() const {
    return impl_->with([](const auto& plist) { return plist.id_bound(); });
}

std::optional<PlistValue> Reply::find(PlistValue dict, std::string_view key) const {
    return impl_->with([&](const auto& plist) { return plist.find(dict, key); });
}

void Reply::for_each_item(PlistValue array, const std::function<bool(PlistValue)>& visit) const {
    impl_->with([&](const auto& plist) { plist.for_each_item(array, visit); });
}

void Reply::for_each_entry(PlistValue dict,
                           const std::function<bool(std::string_view, PlistValue)>& visit) const {
    impl_->with([&](const auto& plist) { plist.for_each_entry(dict, visit); });
}

std::optional<std::string_view> Reply::string(PlistValue value) const {
    return impl_->with([&](const auto& plist) { return plist.string(value); });
}

std::optional<PlistInteger> Reply::integer(PlistValue value) const {
    return impl_->with([&](const auto& plist) { return plist.integer(value); });
}

MuxResult<Reply> parse_response_payload(const std::uint8_t* data, std::size_t size) {
    return Reply::parse(std::vector<std::uint8_t>(data, data + size));
}

}  // namespace vantrel::mux
