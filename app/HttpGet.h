#pragma once
// One HTTP(S) GET into memory, used for the resource list. Thread-safe: every
// call has its own handle and error buffer.

#include <string>

namespace app {

struct HttpGetOptions {
    // Transfer time-out in seconds; 0 = none.
    long timeout_s = 0;
    // PEM certificates trusted for https in addition to the system store.
    std::string extra_ca_pem;
    // Upper bound of the body; a longer reply fails.
    size_t max_body_bytes = 1024 * 1024;
};

// Fetches `url` into *body. True when the transfer succeeded and the HTTP code
// is not within 400..599 (*http_code receives the code either way). On failure
// *error is set and a line goes to standard error:
//   "Connection initializion failed" when the handle could not be set up,
//   "Failed to get " + url when the transfer failed.
// https transfers verify the peer's certificate and host name. A handle that
// cannot be created at all ends the process with exit code 1.
bool HttpGetToMemory(const std::string& url, std::string* body, std::string* error, long* http_code,
                     const HttpGetOptions& options = {});

}  // namespace app
