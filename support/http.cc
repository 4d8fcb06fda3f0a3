#include "support/http.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

#include "support/fd.h"

namespace orvel {
namespace {

// We do not keep response headers, but libcurl stores them for its header API: a peer sending
// headers without end must not grow memory whatever cap the libcurl build has.
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
constexpr long kMaxRedirects = 5;

using SteadyClock = std::chrono::steady_clock;

std::string errno_text(int err) {
  return std::error_code(err, std::generic_category()).message();
}

// Reads a body's bytes at a movable offset, so libcurl can rewind it (redirects, retries on a
// new connection). Files are opened on first use and read with pread, so a rewind costs nothing.
class BodySource {
 public:
  explicit BodySource(const HttpBody& body) : body_(body), fds_(body.pieces().size()) {}

  // Copies up to `n` bytes from the current offset; 0 at the end. Throws HttpError.
  std::size_t read(char* out, std::size_t n) {
    const auto& pieces = body_.pieces();
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const auto& piece = pieces[i];
      if (offset_ >= start + piece.size) {
        start += piece.size;
        continue;
      }
      const std::uint64_t within = offset_ - start;
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(n, piece.size - within));
      const std::size_t got = piece.file.empty() ? copy_bytes(piece, within, out, want)
                                                 : read_file(i, within, out, want);
      offset_ += got;
      return got;
    }
    return 0;
  }

  bool seek(std::uint64_t offset) {
    if (offset > body_.length()) return false;
    offset_ = offset;
    return true;
  }

 private:
  static std::size_t copy_bytes(const HttpBody::Piece& piece, std::uint64_t within, char* out,
                                std::size_t want) {
    std::memcpy(out, piece.bytes.data() + within, want);
    return want;
  }

  std::size_t read_file(std::size_t index, std::uint64_t within, char* out, std::size_t want) {
    const auto& piece = body_.pieces()[index];
    Fd& fd = fds_[index];
    if (fd.get() < 0) {
      fd = Fd(::open(piece.file.c_str(), O_RDONLY | O_CLOEXEC));
      if (fd.get() < 0)
        throw HttpError("cannot open " + piece.file.string() + ": " + errno_text(errno));
    }
    for (;;) {
      const ssize_t got = ::pread(fd.get(), out, want, static_cast<off_t>(within));
      if (got > 0) return static_cast<std::size_t>(got);
      if (got == 0) {
        // The declared length is already on the wire; a short file cannot be sent.
        throw HttpError(piece.file.string() + " ended after " + std::to_string(within) + " of " +
                        std::to_string(piece.size) + " bytes");
      }
      if (errno != EINTR)
        throw HttpError("cannot read " + piece.file.string() + ": " + errno_text(errno));
    }
  }

  const HttpBody& body_;
  std::vector<Fd> fds_;
  std::uint64_t offset_ = 0;
};

// State shared with libcurl's callbacks during one request.
struct Transfer {
  explicit Transfer(const HttpOptions& opts) : options(opts) {}

  void touch() { last_activity = SteadyClock::now(); }

  // Remembers why one of our callbacks stopped the transfer; the first reason wins.
  void fail(const char* reason) noexcept {
    try {
      if (failure.empty()) failure = reason;
    } catch (...) {
    }
  }

  const HttpOptions& options;
  BodySource* body = nullptr;
  std::string response;
  std::size_t header_bytes = 0;
  std::string failure;
  bool connected = false;
  SteadyClock::time_point last_activity = SteadyClock::now();
  curl_off_t last_dlnow = 0;
  curl_off_t last_ulnow = 0;
};

size_t on_write(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  t->touch();
  try {
    if (n > t->options.max_body_bytes - std::min(t->options.max_body_bytes, t->response.size())) {
      t->fail(("response body larger than " + std::to_string(t->options.max_body_bytes) + " bytes")
                  .c_str());
      return 0;
    }
    t->response.append(data, n);
    return n;
  } catch (...) {
    t->fail("out of memory for the response body");
    return 0;
  }
}

size_t on_header(char* /*data*/, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  t->touch();
  t->header_bytes += n;
  if (t->header_bytes > kMaxHeaderBytes) {
    t->fail("response headers too large");
    return 0;
  }
  return n;
}

size_t on_read(char* out, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  try {
    const std::size_t n = t->body->read(out, size * count);
    if (n > 0) t->touch();
    return n;
  } catch (const std::exception& e) {
    t->fail(e.what());
  } catch (...) {
    t->fail("cannot read the request body");
  }
  return CURL_READFUNC_ABORT;
}

int on_seek(void* user, curl_off_t offset, int origin) {
  auto* t = static_cast<Transfer*>(user);
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  return t->body->seek(static_cast<std::uint64_t>(offset)) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

// Called once the connection (and TLS) is up, just before the request goes out: from here on the
// per-wait limit applies; before, the connect limit does.
int on_prereq(void* user, char* /*remote_ip*/, char* /*local_ip*/, int /*remote_port*/,
              int /*local_port*/) {
  auto* t = static_cast<Transfer*>(user);
  t->connected = true;
  t->touch();
  return CURL_PREREQFUNC_OK;
}

// libcurl calls this at least once a second, also while nothing moves; the byte counters tell
// whether anything moved since the last call. LOW_SPEED_TIME would average over seconds instead.
int on_progress(void* user, curl_off_t /*dltotal*/, curl_off_t dlnow, curl_off_t /*ultotal*/,
                curl_off_t ulnow) {
  auto* t = static_cast<Transfer*>(user);
  const auto now = SteadyClock::now();
  if (dlnow != t->last_dlnow || ulnow != t->last_ulnow) {
    t->last_dlnow = dlnow;
    t->last_ulnow = ulnow;
    t->last_activity = now;
    return 0;
  }
  if (!t->connected) return 0;
  const std::chrono::duration<double> idle = now - t->last_activity;
  if (idle.count() >= t->options.wait_timeout_s) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "no data sent or received for %g s (time-out)",
                  t->options.wait_timeout_s);
    t->fail(reason);
    return 1;
  }
  return 0;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool starts_with_https(std::string_view url) {
  return url.size() >= 8 && iequals(url.substr(0, 8), "https://");
}

long to_ms(double seconds) {
  return static_cast<long>(std::ceil(std::min(seconds * 1000.0, 1e12)));
}

void check_options(const HttpOptions& o) {
  auto positive = [](double v) { return std::isfinite(v) && v > 0; };
  if (!positive(o.connect_timeout_s) || !positive(o.wait_timeout_s))
    throw std::invalid_argument("HTTP time-outs must be positive");
  if (!std::isfinite(o.total_timeout_s) || o.total_timeout_s < 0)
    throw std::invalid_argument("HTTP total time-out must be 0 or positive");
}

// Builds libcurl's header list. libcurl frames the body itself from the declared length, so a
// caller's Content-Length must agree with it and chunked coding is refused.
Slist header_list(const Headers& headers, std::uint64_t body_length, bool is_post) {
  bool has_content_type = false;
  bool has_expect = false;
  std::vector<std::string> lines;
  for (const auto& [name, value] : headers) {
    const bool bad_name = name.empty() || name.find_first_of(":\r\n \t", 0) != std::string::npos ||
                          name.find('\0') != std::string::npos;
    const bool bad_value = value.find_first_of("\r\n", 0) != std::string::npos ||
                           value.find('\0') != std::string::npos;
    if (bad_name || bad_value) throw std::invalid_argument("bad HTTP header: " + name);
    if (iequals(name, "Content-Length")) {
      if (value != std::to_string(body_length))
        throw std::invalid_argument("Content-Length header " + value +
                                    " differs from the body length " + std::to_string(body_length));
      continue;
    }
    if (iequals(name, "Transfer-Encoding"))
      throw std::invalid_argument("Transfer-Encoding header: bodies are sent with their length");
    has_content_type = has_content_type || iequals(name, "Content-Type");
    has_expect = has_expect || iequals(name, "Expect");
    // "Name:" would make libcurl drop the header; "Name;" sends it empty.
    lines.push_back(value.empty() ? name + ";" : name + ": " + value);
  }
  if (is_post) {
    // Servers that ignore "Expect: 100-continue" would cost a second per large upload.
    if (!has_expect) lines.emplace_back("Expect:");
    // libcurl would otherwise claim a form-urlencoded body.
    if (!has_content_type) lines.emplace_back("Content-Type:");
  }
  Slist list;
  for (const auto& line : lines) {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (next == nullptr) throw std::bad_alloc();
    (void)list.release();
    list.reset(next);
  }
  return list;
}

template <typename T>
void set(CURL* h, CURLoption option, T value) {
  const CURLcode rc = curl_easy_setopt(h, option, value);
  if (rc != CURLE_OK) throw HttpError(std::string("libcurl set-up: ") + curl_easy_strerror(rc));
}

HttpResponse perform(const std::string& url, const Headers& headers, const HttpBody* body,
                     const HttpOptions& options) {
  check_options(options);
  const std::uint64_t body_length = body != nullptr ? body->length() : 0;
  Slist header_lines = header_list(headers, body_length, body != nullptr);

  Easy easy(curl_easy_init());
  if (!easy) throw HttpError("cannot create a libcurl handle");
  CURL* h = easy.get();

  Transfer transfer(options);
  std::unique_ptr<BodySource> source;
  char error_buffer[CURL_ERROR_SIZE] = {};

  set(h, CURLOPT_ERRORBUFFER, error_buffer);
  set(h, CURLOPT_NOSIGNAL, 1L);
  set(h, CURLOPT_URL, url.c_str());
  set(h, CURLOPT_PROTOCOLS_STR, "http,https");
  set(h, CURLOPT_SSL_VERIFYPEER, 1L);
  set(h, CURLOPT_SSL_VERIFYHOST, 2L);
  set(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  if (!options.ca_file.empty()) {
    set(h, CURLOPT_CAINFO, options.ca_file.c_str());
    set(h, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  }
  set(h, CURLOPT_CONNECTTIMEOUT_MS, to_ms(options.connect_timeout_s));
  if (options.total_timeout_s > 0) set(h, CURLOPT_TIMEOUT_MS, to_ms(options.total_timeout_s));
  if (options.follow_redirects) {
    set(h, CURLOPT_FOLLOWLOCATION, 1L);
    set(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    set(h, CURLOPT_REDIR_PROTOCOLS_STR, starts_with_https(url) ? "https" : "http,https");
  }
  set(h, CURLOPT_HTTPHEADER, header_lines.get());

  set(h, CURLOPT_WRITEFUNCTION, &on_write);
  set(h, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(h, CURLOPT_HEADERFUNCTION, &on_header);
  set(h, CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  set(h, CURLOPT_PREREQFUNCTION, &on_prereq);
  set(h, CURLOPT_PREREQDATA, static_cast<void*>(&transfer));
  set(h, CURLOPT_NOPROGRESS, 0L);
  set(h, CURLOPT_XFERINFOFUNCTION, &on_progress);
  set(h, CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));

  if (body != nullptr) {
    source = std::make_unique<BodySource>(*body);
    transfer.body = source.get();
    set(h, CURLOPT_POST, 1L);
    set(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_length));
    set(h, CURLOPT_READFUNCTION, &on_read);
    set(h, CURLOPT_READDATA, static_cast<void*>(&transfer));
    set(h, CURLOPT_SEEKFUNCTION, &on_seek);
    set(h, CURLOPT_SEEKDATA, static_cast<void*>(&transfer));
  } else {
    set(h, CURLOPT_HTTPGET, 1L);
  }

  const CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    if (!transfer.failure.empty()) throw HttpError(transfer.failure);
    std::string message = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(rc);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
      message.pop_back();
    throw HttpError(message);
  }
  HttpResponse response;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  if (response.status <= 0) throw HttpError("no HTTP status in the answer");
  response.body = std::move(transfer.response);
  return response;
}

}  // namespace

HttpBody& HttpBody::add(std::string bytes) {
  const auto size = static_cast<std::uint64_t>(bytes.size());
  pieces_.push_back(Piece{std::move(bytes), {}, size});
  length_ += size;
  return *this;
}

HttpBody& HttpBody::add_file(const std::filesystem::path& path) {
  if (path.empty()) throw HttpError("empty file name in the request body");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw HttpError("cannot read the status of " + path.string() + ": " + errno_text(errno));
  if (!S_ISREG(st.st_mode)) throw HttpError(path.string() + " is not a regular file");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  pieces_.push_back(Piece{{}, path, size});
  length_ += size;
  return *this;
}

std::string HttpBody::bytes() const {
  std::string out(static_cast<std::size_t>(length_), '\0');
  BodySource source(*this);
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t n = source.read(out.data() + done, out.size() - done);
    if (n == 0) break;
    done += n;
  }
  return out;
}

HttpResponse CurlHttpClient::get(const std::string& url, const Headers& headers,
                                 const HttpOptions& options) {
  return perform(url, headers, nullptr, options);
}

HttpResponse CurlHttpClient::post(const std::string& url, const Headers& headers,
                                  const HttpBody& body, const HttpOptions& options) {
  return perform(url, headers, &body, options);
}

void http_global_init() {
  const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (rc != CURLE_OK)
    throw HttpError(std::string("libcurl initialisation failed: ") + curl_easy_strerror(rc));
}

}  // namespace orvel
