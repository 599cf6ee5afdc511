#pragma once
// One HTTP POST of a form body with bounded waiting, collecting the reply
// text. The only user of the HTTP library in the statistics code; its headers
// stay inside HttpPoster.cpp. Stateless: any thread may post, each call uses
// its own transfer handle.

#include <cstddef>
#include <string>

namespace engine {

class HttpPoster {
public:
    struct Result {
        bool transferred = false;  // a complete reply arrived
        long status = 0;           // HTTP status of the reply, 0 without one
        std::string reply;         // the reply body
        std::string error;         // why the transfer failed, empty when it did not
    };

    // The reply is collected up to this size; a longer one fails the post
    // (a collection server answers with a few bytes).
    static constexpr size_t ReplyCap = 64 * 1024;

    // POSTs `body` as "application/x-www-form-urlencoded" to `url`. Both
    // time-outs are in seconds; signals are not used for them, so this is
    // safe on any thread.
    static Result Post(const std::string& url, const std::string& body, long connect_timeout_s,
                       long total_timeout_s);
};

}  // namespace engine
