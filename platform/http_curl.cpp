#include <curl/curl.h>

#include <mutex>

#include "platform/http.h"

namespace vsc {
namespace {

struct Body {
    std::string text;
    std::size_t limit;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    std::size_t n = size * count;
    if (body->text.size() + n > body->limit) return 0;  // too large: abort the transfer
    body->text.append(data, n);
    return n;
}

}  // namespace

CurlHttpClient::CurlHttpClient(double timeoutSeconds, std::size_t maxBytes)
    : timeoutSeconds_(timeoutSeconds), maxBytes_(maxBytes) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::optional<std::string> CurlHttpClient::get(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (!curl) return std::nullopt;
    Body body{{}, maxBytes_};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutSeconds_ * 1000));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutSeconds_ * 1000));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK) return std::nullopt;
    return body.text;
}

}  // namespace vsc
