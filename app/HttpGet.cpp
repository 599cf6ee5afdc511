#include "app/HttpGet.h"

#include <cstdio>
#include <cstdlib>

#include "app/CurlEasy.h"

namespace app {

namespace {

bool StartsWithHttps(const std::string& url) { return url.compare(0, 5, "https") == 0; }

// Steps stop at the first failure; each failure names itself on stderr.
bool SetUp(CurlEasy& curl, const std::string& url, std::string* body, const HttpGetOptions& options) {
    int rc = curl.SetErrorBuffer();
    if (rc != 0) {
        std::fprintf(stderr, "Failed to set error buffer [%d]\n", rc);
        return false;
    }
    auto failed = [&](const char* format) {
        std::fprintf(stderr, format, curl.ErrorBuffer());
        return false;
    };
    if (curl.SetUrl(url) != 0) return failed("Failed to set URL [%s]\n");
    bool https = StartsWithHttps(url);
    if (curl.SetFollowRedirects(https) != 0) return failed("Failed to set redirect option [%s]\n");
    if (curl.SetWriter(options.max_body_bytes) != 0) return failed("Failed to set writer [%s]\n");
    if (curl.SetWriteData(body) != 0) return failed("Failed to set write data [%s]\n");
    if (options.timeout_s != 0) curl.SetTimeout(options.timeout_s);
    if (!https) return true;
    // Verification stays on: without it anyone on the path could forge the
    // list (switch P2P off, inject addresses, declare the program expired).
    if (curl.SetVerifyPeer(true) != 0) return failed("Failed to set CURLOPT_SSL_VERIFYPEER  [%s]\n");
    if (curl.SetVerifyHost(true) != 0) return failed("Failed to set CURLOPT_SSL_VERIFYHOST [%s]\n");
    if (!options.extra_ca_pem.empty() && curl.AddTrustedCaPem(options.extra_ca_pem) != 0) {
        return failed("Failed to set CURLOPT_SSL_CTX_FUNCTION [%s]\n");
    }
    return true;
}

}  // namespace

bool HttpGetToMemory(const std::string& url, std::string* body, std::string* error, long* http_code,
                     const HttpGetOptions& options) {
    CurlEasy::GlobalInit();
    CurlEasy curl;
    if (!curl.Valid()) {
        std::fprintf(stderr, "Failed to create CURL connection\n");
        std::exit(1);
    }
    if (!SetUp(curl, url, body, options)) {
        std::fprintf(stderr, "Connection initializion failed\n");
        *error = "Connection initializion failed";
        return false;
    }
    int rc = curl.Perform();
    *http_code = curl.ResponseCode();
    if (rc == 0 && !(*http_code >= 400 && *http_code <= 599)) return true;
    std::fprintf(stderr, "Failed to get '%s' [%s]\n", url.c_str(), curl.ErrorBuffer());
    *error = "Failed to get " + url;
    return false;
}

}  // namespace app
