#include "mux/mux_error.h"

namespace vantrel::mux {

std::string MuxError::display() const {
    switch (variant_) {
        case Variant::Io: return "I/O error: " + io_error().text();
        case Variant::Protocol: return "Protocol error: " + message_;
        case Variant::Refused: return "Device refused connection (code " + std::to_string(code_) + ")";
    }
    return {};
}

}  // namespace vantrel::mux
