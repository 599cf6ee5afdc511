#pragma once
// The one wrapper around libcurl's easy interface: its header stays in
// CurlEasy.cpp. Each setter returns 0 or a libcurl result code that
// CodeText() turns into libcurl's own description. One object per transfer,
// used by one thread.

#include <cstddef>
#include <memory>
#include <string>

namespace app {

class CurlEasy {
public:
    // curl_global_init with every feature; reference-counted by libcurl.
    static void GlobalInit();
    static std::string CodeText(int code);

    CurlEasy();
    ~CurlEasy();
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;

    bool Valid() const { return m_handle != nullptr; }

    // The handle's own error buffer (never shared between transfers).
    int SetErrorBuffer();
    int SetUrl(const std::string& url);
    // Follows redirects; with `https_only` a redirect may lead to https only,
    // so a verified transfer cannot be steered to plain http.
    int SetFollowRedirects(bool https_only);
    // Received bytes go to `body`, at most `limit_bytes` of them: more fails
    // the transfer (a resource list is a few KiB; a cap keeps a hostile server
    // from filling memory).
    int SetWriter(size_t limit_bytes);
    int SetWriteData(std::string* body);
    int SetTimeout(long seconds);
    int SetVerifyPeer(bool on);
    int SetVerifyHost(bool on);
    // Trusts the PEM certificates in `pem` in addition to the system store.
    int AddTrustedCaPem(const std::string& pem);

    int Perform();
    long ResponseCode() const;
    const char* ErrorBuffer() const { return m_error; }

private:
    static size_t Write(char* data, size_t size, size_t count, void* user);
    static int AddCaToContext(void* curl, void* ssl_ctx, void* user);

    void* m_handle = nullptr;
    std::string* m_body = nullptr;
    size_t m_limit_bytes = 0;
    std::string m_extra_ca_pem;
    char m_error[256] = {};  // CURL_ERROR_SIZE
};

}  // namespace app
