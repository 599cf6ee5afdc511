#include "stats/HttpPoster.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace engine {

namespace {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

std::once_flag g_global_init;

size_t CollectReply(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<std::string*>(user);
    const size_t length = size * count;
    // Returning less than given aborts the transfer with a write error.
    if (reply->size() + length > HttpPoster::ReplyCap) return 0;
    reply->append(data, length);
    return length;
}

}  // namespace

HttpPoster::Result HttpPoster::Post(const std::string& url, const std::string& body, long connect_timeout_s,
                                    long total_timeout_s) {
    std::call_once(g_global_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    Result result;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
        result.error = "cannot create a transfer";
        return result;
    }
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectReply);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &result.reply);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connect_timeout_s);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, total_timeout_s);
    // A statistics server never redirects; only plain HTTP(S) is allowed.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");

    char error_text[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
    CURLcode rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    if (rc != CURLE_OK) {
        result.error = error_text[0] ? error_text : curl_easy_strerror(rc);
        return result;
    }
    result.transferred = true;
    return result;
}

}  // namespace engine
