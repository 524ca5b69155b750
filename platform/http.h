#pragma once

#include <optional>
#include <string>

namespace vsc {

// One plain HTTP GET. The body, whatever the status code; none when the
// request fails (no route, refused, time-out) or the body exceeds maxBytes.
class HttpClient {
  public:
    virtual ~HttpClient() = default;
    virtual std::optional<std::string> get(const std::string& url) = 0;
};

// libcurl, with a bounded time-out.
class CurlHttpClient final : public HttpClient {
  public:
    explicit CurlHttpClient(double timeoutSeconds = 10.0, std::size_t maxBytes = 32u << 20);
    std::optional<std::string> get(const std::string& url) override;

  private:
    double timeoutSeconds_;
    std::size_t maxBytes_;
};

}  // namespace vsc
