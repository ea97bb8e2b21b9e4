// The byte stream under one client connection: plain TCP, or TLS over it.
//
// The connection reads whole requests and writes whole messages through
// ReadExactly and WriteAll, and never learns which of the two it has. The
// plain stream is the socket itself, with no cost added. TLS runs OpenSSL
// directly on the socket's descriptor (non-blocking, waiting for readiness
// through the io_context): no extra buffers per connection beyond the
// SSL object, whose own buffers are released while the connection idles.
#ifndef KELVO_SERVER_LINK_H_
#define KELVO_SERVER_LINK_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio.hpp>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace kelvo {
namespace server {

// The server's certificate and key, shared by every TLS connection. A
// connection keeps what it was accepted with: a reload affects only the
// connections accepted after it.
class TlsContext {
 public:
  // Null with *error set when a file cannot be read or the key does not
  // belong to the certificate. The certificate file may hold the chain
  // (the server's certificate first).
  static std::shared_ptr<TlsContext> Load(const std::string& certFile, const std::string& keyFile,
                                          std::string* error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  SSL_CTX* native() const { return ctx_; }

 private:
  explicit TlsContext(SSL_CTX* ctx) : ctx_(ctx) {}
  SSL_CTX* ctx_;
};

class TlsStream;

class Link {
 public:
  using Handler = std::function<void(const asio::error_code&)>;

  // `tls` null: plain TCP.
  Link(asio::ip::tcp::socket socket, const TlsContext* tls);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Calls `done` once the stream can carry requests: after the TLS
  // handshake, or at once (posted) for plain TCP. On failure, failure()
  // says why.
  void Start(Handler done);

  template <typename H>
  void ReadExactly(uint8_t* data, std::size_t n, H&& done) {
    if (tls_ == nullptr) {
      asio::async_read(socket_, asio::buffer(data, n),
                       [h = std::forward<H>(done)](const asio::error_code& ec, std::size_t) mutable {
                         h(ec);
                       });
    } else {
      TlsRead(data, n, Handler(std::forward<H>(done)));
    }
  }

  template <typename H>
  void WriteAll(const uint8_t* data, std::size_t n, H&& done) {
    if (tls_ == nullptr) {
      asio::async_write(socket_, asio::buffer(data, n),
                        [h = std::forward<H>(done)](const asio::error_code& ec, std::size_t) mutable {
                          h(ec);
                        });
    } else {
      TlsWrite(data, n, Handler(std::forward<H>(done)));
    }
  }

  // Ends the connection (TLS: close_notify first, best effort); pending
  // operations complete with operation_aborted.
  void Close();
  const std::string& failure() const;

  // Faults of the chaos mode (chaos.h); neither sends TLS's close_notify.
  // A reset now: SO_LINGER 0, then the socket is closed.
  void Abort();
  // A FIN now; reading goes on until the client ends. Close afterwards
  // only closes the socket.
  void ShutdownSend();
  asio::any_io_executor executor() { return socket_.get_executor(); }
  // The descriptor, -1 once closed.
  int native_handle() { return socket_.is_open() ? static_cast<int>(socket_.native_handle()) : -1; }

 private:
  void TlsRead(uint8_t* data, std::size_t n, Handler done);
  void TlsWrite(const uint8_t* data, std::size_t n, Handler done);

  asio::ip::tcp::socket socket_;
  std::unique_ptr<TlsStream> tls_;
  bool sendShut_ = false;
};

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_LINK_H_
