#include "app/CurlEasy.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

static_assert(CURL_ERROR_SIZE == 256, "CurlEasy::m_error must hold CURL_ERROR_SIZE bytes");

namespace app {

namespace {

CURL* Handle(void* h) { return static_cast<CURL*>(h); }

}  // namespace

void CurlEasy::GlobalInit() { curl_global_init(CURL_GLOBAL_ALL); }

std::string CurlEasy::CodeText(int code) { return curl_easy_strerror(static_cast<CURLcode>(code)); }

CurlEasy::CurlEasy() : m_handle(curl_easy_init()) {}

CurlEasy::~CurlEasy() {
    if (m_handle) curl_easy_cleanup(Handle(m_handle));
}

int CurlEasy::SetErrorBuffer() { return curl_easy_setopt(Handle(m_handle), CURLOPT_ERRORBUFFER, m_error); }

int CurlEasy::SetUrl(const std::string& url) {
    return curl_easy_setopt(Handle(m_handle), CURLOPT_URL, url.c_str());
}

int CurlEasy::SetFollowRedirects(bool https_only) {
    int rc = curl_easy_setopt(Handle(m_handle), CURLOPT_FOLLOWLOCATION, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(Handle(m_handle), CURLOPT_MAXREDIRS, 10L);
    if (rc == CURLE_OK && https_only) rc = curl_easy_setopt(Handle(m_handle), CURLOPT_REDIR_PROTOCOLS_STR, "https");
    return rc;
}

int CurlEasy::SetWriter(size_t limit_bytes) {
    m_limit_bytes = limit_bytes;
    return curl_easy_setopt(Handle(m_handle), CURLOPT_WRITEFUNCTION, &CurlEasy::Write);
}

int CurlEasy::SetWriteData(std::string* body) {
    m_body = body;
    return curl_easy_setopt(Handle(m_handle), CURLOPT_WRITEDATA, this);
}

int CurlEasy::SetTimeout(long seconds) { return curl_easy_setopt(Handle(m_handle), CURLOPT_TIMEOUT, seconds); }

int CurlEasy::SetVerifyPeer(bool on) {
    return curl_easy_setopt(Handle(m_handle), CURLOPT_SSL_VERIFYPEER, on ? 1L : 0L);
}

int CurlEasy::SetVerifyHost(bool on) {
    return curl_easy_setopt(Handle(m_handle), CURLOPT_SSL_VERIFYHOST, on ? 2L : 0L);
}

int CurlEasy::AddTrustedCaPem(const std::string& pem) {
    m_extra_ca_pem = pem;
    int rc = curl_easy_setopt(Handle(m_handle), CURLOPT_SSL_CTX_FUNCTION, &CurlEasy::AddCaToContext);
    if (rc == CURLE_OK) rc = curl_easy_setopt(Handle(m_handle), CURLOPT_SSL_CTX_DATA, this);
    return rc;
}

int CurlEasy::Perform() { return curl_easy_perform(Handle(m_handle)); }

long CurlEasy::ResponseCode() const {
    long code = 0;
    curl_easy_getinfo(Handle(m_handle), CURLINFO_RESPONSE_CODE, &code);
    return code;
}

size_t CurlEasy::Write(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlEasy*>(user);
    size_t bytes = size * count;
    if (self->m_body == nullptr || self->m_body->size() + bytes > self->m_limit_bytes) return 0;
    self->m_body->append(data, bytes);
    return bytes;
}

// Called by libcurl after it has loaded the system store into the context:
// the manifest's certificate authority is added on top of it.
int CurlEasy::AddCaToContext(void* /*curl*/, void* ssl_ctx, void* user) {
    auto* self = static_cast<CurlEasy*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx));
    BIO* bio = BIO_new_mem_buf(self->m_extra_ca_pem.data(), static_cast<int>(self->m_extra_ca_pem.size()));
    if (bio == nullptr || store == nullptr) {
        BIO_free(bio);
        return CURLE_SSL_CERTPROBLEM;
    }
    int added = 0;
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        // An already present certificate is not an error.
        X509_STORE_add_cert(store, cert);
        X509_free(cert);
        ++added;
    }
    ERR_clear_error();
    BIO_free(bio);
    return added > 0 ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
}

}  // namespace app
