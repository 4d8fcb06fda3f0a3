#pragma once
// HTTP client: GET and POST with given headers, TLS verified against the system trust store,
// a time limit per network wait, and the final status with its body for every status.
//
// Modules take an `HttpClient&` so tests can hand them a fake; `CurlHttpClient` is the real one.
// Nothing here logs: headers may carry upload keys.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orvel {

// Request headers, sent in this order. Names and values must not hold CR or LF.
using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpOptions {
  // Limit for name resolution, TCP connect and TLS handshake, in seconds. Must be > 0.
  double connect_timeout_s = 10;
  // Once connected, a transfer in which no byte moves either way for this long fails, however
  // long the whole transfer takes. Must be > 0.
  double wait_timeout_s = 10;
  // Limit for the whole request in seconds; 0 means none (the per-wait limit still applies).
  double total_timeout_s = 0;
  // Trust only the certificate authorities in this PEM file instead of the system store
  // (tests with their own CA). Peer and host-name verification stay on either way.
  std::string ca_file;
  // The largest response body that is collected. A longer body aborts the transfer with
  // HttpError; the status and the partial body are not returned.
  std::size_t max_body_bytes = 1024 * 1024;
  // Off: a 3xx answer is returned like any other status. On: up to 5 redirects are followed
  // as libcurl does (307/308 repeat the POST with its body, rewinding it; 301/302/303 turn it
  // into a GET); from an https URL only https targets are allowed, and a custom Authorization
  // header is not sent to another host.
  bool follow_redirects = false;
};

struct HttpResponse {
  long status = 0;
  std::string body;  // for every status, error statuses included
};

// The request failed below HTTP (name resolution, connection, TLS, time limit, broken
// connection, body too large, a file of the request body unreadable). Carries the reason.
class HttpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request body: pieces of bytes held in memory and files read from disk while sending.
// Its length is fixed when it is built, so the request declares it (Content-Length) and is
// never sent in chunks; a large file is streamed, never held in memory.
class HttpBody {
 public:
  HttpBody() = default;
  explicit HttpBody(std::string bytes) { add(std::move(bytes)); }

  HttpBody& add(std::string bytes);
  // Appends a file, which is opened and read only while the request is sent. Its size is read
  // now and counted in length(). If the file is shorter when sent, the request fails with
  // HttpError; if it has grown, only the first `size` bytes are sent. Throws HttpError when
  // the file's status cannot be read or it is not a regular file.
  HttpBody& add_file(const std::filesystem::path& path);

  std::uint64_t length() const { return length_; }
  // All bytes as they would be sent now, files read whole: for fakes and small bodies.
  // Throws HttpError like a send would.
  std::string bytes() const;

  struct Piece {
    std::string bytes;           // when `file` is empty
    std::filesystem::path file;  // streamed from disk when not empty
    std::uint64_t size = 0;      // bytes of this piece in the declared length
  };
  const std::vector<Piece>& pieces() const { return pieces_; }

 private:
  std::vector<Piece> pieces_;
  std::uint64_t length_ = 0;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // Both return the final status and body, whatever the status; they throw HttpError for
  // failures below HTTP and std::invalid_argument for bad options or headers.
  virtual HttpResponse get(const std::string& url, const Headers& headers,
                           const HttpOptions& options) = 0;
  // A caller's Content-Length header must equal body.length() (it is sent once); without a
  // Content-Type header none is sent.
  virtual HttpResponse post(const std::string& url, const Headers& headers, const HttpBody& body,
                            const HttpOptions& options) = 0;
};

// libcurl, one handle per request, so one instance may serve several threads at once.
// Only http and https URLs are accepted.
class CurlHttpClient final : public HttpClient {
 public:
  HttpResponse get(const std::string& url, const Headers& headers,
                   const HttpOptions& options) override;
  HttpResponse post(const std::string& url, const Headers& headers, const HttpBody& body,
                    const HttpOptions& options) override;
};

// Initialises libcurl and OpenSSL. Call once in main before any thread starts (libcurl's
// global set-up is not safe to race). Throws HttpError on failure.
void http_global_init();

}  // namespace orvel
