#include "link.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace kelvo {
namespace server {

namespace {

using asio::ip::tcp;

std::string TakeReason(const char* fallback) {
  const unsigned long code = ERR_get_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : fallback;
}

// What the connection is told when TLS fails: its text is in failure().
asio::error_code TlsFailed() { return asio::error::make_error_code(asio::error::connection_aborted); }

}  // namespace

std::shared_ptr<TlsContext> TlsContext::Load(const std::string& certFile,
                                             const std::string& keyFile, std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    *error = TakeReason("out of memory");
    return nullptr;
  }
  std::shared_ptr<TlsContext> holder(new TlsContext(ctx));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Idle connections give their 34 KiB of record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE);
  // No session cache: a few kilobytes a session saved for nothing, the
  // client never resumes.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    *error = certFile + ": " + TakeReason("cannot read the certificate");
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = keyFile + ": " + TakeReason("cannot read the key");
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    *error = keyFile + ": " + TakeReason("the key does not match the certificate");
    return nullptr;
  }
  return holder;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

// OpenSSL on the socket's descriptor. Every operation tries first and waits
// for readiness only when OpenSSL asks, so bytes it already holds are never
// left waiting for the socket. A read and a write may be under way at once
// (one each); their calls into OpenSSL never overlap, the io_context runs
// them one at a time on one thread.
class TlsStream {
 public:
  TlsStream(tcp::socket& socket, SSL* ssl) : socket_(socket), ssl_(ssl) {}
  ~TlsStream() { SSL_free(ssl_); }

  void Handshake(Link::Handler done) {
    ERR_clear_error();
    const int r = SSL_accept(ssl_);
    if (r == 1) return done({});
    Retry(r, "handshake", [this](Link::Handler d) { Handshake(std::move(d)); }, std::move(done));
  }

  void Read(uint8_t* data, std::size_t n, Link::Handler done) {
    while (n > 0) {
      ERR_clear_error();
      const int r = SSL_read(ssl_, data, n > 65536 ? 65536 : static_cast<int>(n));
      if (r <= 0) {
        if (SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN) return done(asio::error::eof);
        return Retry(
            r, "read",
            [this, data, n](Link::Handler d) { Read(data, n, std::move(d)); }, std::move(done));
      }
      data += r;
      n -= static_cast<std::size_t>(r);
    }
    done({});
  }

  void Write(const uint8_t* data, std::size_t n, Link::Handler done) {
    while (n > 0) {
      ERR_clear_error();
      const int r = SSL_write(ssl_, data, n > 65536 ? 65536 : static_cast<int>(n));
      if (r <= 0) {
        return Retry(
            r, "write",
            [this, data, n](Link::Handler d) { Write(data, n, std::move(d)); }, std::move(done));
      }
      data += r;
      n -= static_cast<std::size_t>(r);
    }
    done({});
  }

  void Close() {
    if (SSL_is_init_finished(ssl_)) {
      ERR_clear_error();
      SSL_shutdown(ssl_);  // one try: the close_notify, if the socket takes it
      ERR_clear_error();
    }
  }

  const std::string& failure() const { return failure_; }

 private:
  using Again = std::function<void(Link::Handler)>;

  // After a call that returned `r` <= 0: wait as OpenSSL asks and call
  // `again`, or end the operation.
  void Retry(int r, const char* what, Again again, Link::Handler done) {
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      socket_.async_wait(e == SSL_ERROR_WANT_READ ? tcp::socket::wait_read : tcp::socket::wait_write,
                         [again = std::move(again), done = std::move(done)](
                             const asio::error_code& ec) mutable {
                           if (ec) return done(ec);
                           again(std::move(done));
                         });
      return;
    }
    if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      // The peer went away under us.
      ERR_clear_error();
      return done(asio::error::connection_reset);
    }
    if (failure_.empty()) failure_ = std::string("TLS ") + what + " failed: " + TakeReason("error");
    ERR_clear_error();
    done(TlsFailed());
  }

  tcp::socket& socket_;
  SSL* ssl_;
  std::string failure_;
};

Link::Link(tcp::socket socket, const TlsContext* tls) : socket_(std::move(socket)) {
  if (tls == nullptr) return;
  SSL* ssl = SSL_new(tls->native());
  asio::error_code ec;
  socket_.native_non_blocking(true, ec);
  if (ssl != nullptr && !ec && SSL_set_fd(ssl, static_cast<int>(socket_.native_handle())) == 1) {
    tls_ = std::make_unique<TlsStream>(socket_, ssl);
  } else {
    SSL_free(ssl);
    ERR_clear_error();
    // Start reports it: the connection must not fall back to plain TCP.
    socket_.close(ec);
  }
}

Link::~Link() = default;

void Link::Start(Handler done) {
  if (tls_ != nullptr) return tls_->Handshake(std::move(done));
  if (!socket_.is_open()) {
    return asio::post(socket_.get_executor(),
                      [done = std::move(done)] { done(asio::error::no_memory); });
  }
  asio::post(socket_.get_executor(), [done = std::move(done)] { done({}); });
}

// Started from the io_context, never inside the caller: OpenSSL may hold
// the bytes already, and a read completed on the spot would nest the
// connection's next read inside this one, request after request.
void Link::TlsRead(uint8_t* data, std::size_t n, Handler done) {
  asio::post(socket_.get_executor(), [this, data, n, done = std::move(done)]() mutable {
    tls_->Read(data, n, std::move(done));
  });
}

void Link::TlsWrite(const uint8_t* data, std::size_t n, Handler done) {
  asio::post(socket_.get_executor(), [this, data, n, done = std::move(done)]() mutable {
    tls_->Write(data, n, std::move(done));
  });
}

void Link::Close() {
  // After Abort the descriptor's number may already belong to another
  // connection: nothing may be written to it.
  if (!socket_.is_open()) return;
  if (tls_ != nullptr && !sendShut_) tls_->Close();
  asio::error_code ec;
  socket_.shutdown(tcp::socket::shutdown_both, ec);
  socket_.close(ec);
}

void Link::Abort() {
  if (!socket_.is_open()) return;
  asio::error_code ec;
  socket_.set_option(asio::socket_base::linger(true, 0), ec);
  socket_.close(ec);
}

void Link::ShutdownSend() {
  if (!socket_.is_open()) return;
  sendShut_ = true;
  asio::error_code ec;
  socket_.shutdown(tcp::socket::shutdown_send, ec);
}

const std::string& Link::failure() const {
  static const std::string none;
  return tls_ != nullptr ? tls_->failure() : none;
}

}  // namespace server
}  // namespace kelvo
