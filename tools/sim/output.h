// Standard output of the simulator: reply lines and event lines, gathered during a turn of the event
// loop and written together at its end.
#pragma once

#include <unistd.h>

#include <string>
#include <string_view>

#include "net/wire.h"

namespace vantrel::sim {

class Output {
public:
    explicit Output(bool quiet) : quiet_(quiet) {}

    void line(std::string_view text) {
        text_.append(text);
        text_.push_back('\n');
    }
    // "event TEXT", unless --quiet.
    void event(std::string_view text) {
        if (quiet_) return;
        text_.append("event ");
        line(text);
    }
    void flush() {
        net::write_whole(STDOUT_FILENO, text_);  // when nobody reads standard output any more, it is dropped
        text_.clear();
    }

private:
    std::string text_;
    bool quiet_;
};

}  // namespace vantrel::sim
