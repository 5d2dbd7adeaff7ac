#include "app/station/http_server.h"

// Boost 1.74's Asio uses std::exchange without including <utility> itself.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <csignal>
#include <deque>
#include <set>

#if FWDL_STATION_TLS
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#endif

namespace fwdl::station {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::size_t kHeaderLimit = 8192;
// Events a stream may fall behind by before the station lets it go: a
// page that reads nothing must not make the station hold ever more.
constexpr std::size_t kQueueLimit = 20000;
// Pages (and other clients) at once: a stream may hold up to kQueueLimit
// events, so the open streams, and all connections, are bounded, lest
// anyone who reaches the station make it hold ever more. Enough for every
// page of a line and its supervisors.
constexpr std::size_t kStreamLimit = 16;
constexpr std::size_t kConnectionLimit = 64;
constexpr auto kIdle = std::chrono::seconds(60);
constexpr auto kKeepAlive = std::chrono::seconds(15);

// For every reply: nothing cached, sniffed, framed or referred, and a page
// that may reach its own station alone.
void Guard(http::response<http::string_body>& reply) {
  reply.set(http::field::cache_control, "no-store");
  reply.set("X-Content-Type-Options", "nosniff");
  reply.set("X-Frame-Options", "DENY");
  reply.set("Referrer-Policy", "no-referrer");
  reply.set("Content-Security-Policy",
            "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
            "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
            "frame-ancestors 'none'");
}

// The socket under a stream, for what goes past HTTP (the events); over
// TLS the TLS stream itself.
tcp::socket& Raw(beast::tcp_stream& stream) { return stream.socket(); }
#if FWDL_STATION_TLS
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
TlsStream& Raw(TlsStream& stream) { return stream; }
#endif

}  // namespace

// A connection as the server holds it: the streams of events among them.
class Session {
 public:
  virtual ~Session() = default;
  virtual void Send(const std::string& text) = 0;
  virtual void Close() = 0;
};

struct HttpServer::Impl {
  explicit Impl(Handler h) : handler(std::move(h)) {}
  void Accept();
  void KeepAlive();

  // The sessions alive; first, so that it outlives those the members below
  // still hold when they go.
  std::size_t connections = 0;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  asio::signal_set signals{io};
  asio::steady_timer keep_alive{io};
  Handler handler;
  std::function<void()> on_interrupt;
  std::set<std::shared_ptr<Session>> streams;
  tcp::endpoint local;
#if FWDL_STATION_TLS
  std::optional<asio::ssl::context> tls;
#endif
};

template <class Stream>
class SessionOn : public Session, public std::enable_shared_from_this<SessionOn<Stream>> {
 public:
  template <class... Tls>
  SessionOn(tcp::socket socket, HttpServer::Impl& server, Tls&... tls)
      : stream_(std::move(socket), tls...), server_(server) {
    ++server_.connections;
  }
  ~SessionOn() override { --server_.connections; }

  // The TLS handshake first, where there is one; then `next`.
  template <class Next>
  void Begin(Next next) {
    beast::get_lowest_layer(stream_).expires_after(kIdle);
#if FWDL_STATION_TLS
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this(), next](beast::error_code error) {
                                if (error) return self->Close();
                                next(*self);
                              });
      return;
    }
#endif
    next(*this);
  }

  // Answers at once, without reading the request, and closes.
  void TurnAway(const std::string& why) {
    beast::get_lowest_layer(stream_).expires_after(kIdle);
    Reply(Refuse(503, why), 11, true);
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    beast::get_lowest_layer(stream_).expires_after(kIdle);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                       self->OnRead(error);
                     });
  }

  void Send(const std::string& text) override {
    if (queue_.size() >= kQueueLimit) return Close();
    queue_.push_back(text);
    if (queue_.size() == 1) WriteNext();
  }

  void Close() override {
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(stream_).socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    server_.streams.erase(this->shared_from_this());
  }

 private:
  void OnRead(beast::error_code error) {
    if (error == http::error::body_limit) return Reply(Refuse(413, "the body is too long"), 11, true);
    if (error == http::error::header_limit) {
      return Reply(Refuse(431, "the header is too long"), 11, true);
    }
    if (error && error.category() == make_error_code(http::error::bad_method).category() &&
        error != http::error::end_of_stream) {
      return Reply(Refuse(400, "a malformed request: " + error.message()), 11, true);
    }
    if (error) return Close();
    const auto& request = parser_->get();
    auto field = [&](const auto& name) { return std::string(request[name]); };
    const HttpRequest plain{std::string(request.method_string()), std::string(request.target()),
                            field(http::field::host), field("X-Station-Token"),
                            field(http::field::content_type), request.body()};
    HttpReply reply = server_.handler(plain);
    if (reply.stream && server_.streams.size() >= kStreamLimit) {
      return Reply(Refuse(503, "too many pages follow this station (" +
                                   std::to_string(kStreamLimit) + "): close one and reload"),
                   request.version(), true);
    }
    if (reply.stream) return BeginStream(reply.body);
    Reply(reply, request.version(), !request.keep_alive());
  }

  void Reply(const HttpReply& reply, unsigned version, bool close) {
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(reply.status), version);
    response->set(http::field::content_type, reply.content_type);
    Guard(*response);
    response->keep_alive(!close);
    response->body() = reply.body;
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = this->shared_from_this(), response, close](beast::error_code error,
                                                                   std::size_t) {
                        if (error || close) return self->Close();
                        self->Read();
                      });
  }

  void BeginStream(const std::string& first) {
    beast::get_lowest_layer(stream_).expires_never();
    server_.streams.insert(this->shared_from_this());
    Send("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
         "X-Content-Type-Options: nosniff\r\nConnection: keep-alive\r\n\r\n" +
         first);
    WatchForClose();
  }

  // A stream's reader says nothing more; its leaving shows as the end of
  // what it sends.
  void WatchForClose() {
    Raw(stream_).async_read_some(
        asio::buffer(sink_), [self = this->shared_from_this()](beast::error_code error, std::size_t) {
          if (error) return self->Close();
          self->WatchForClose();
        });
  }

  void WriteNext() {
    asio::async_write(Raw(stream_), asio::buffer(queue_.front()),
                      [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                        if (error) return self->Close();
                        self->queue_.pop_front();
                        if (!self->queue_.empty()) self->WriteNext();
                      });
  }

  Stream stream_;
  HttpServer::Impl& server_;
  beast::flat_buffer buffer_{kHeaderLimit + kBodyLimit};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::deque<std::string> queue_;
  char sink_[256];
};

void HttpServer::Impl::Accept() {
  acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (!error) {
      const bool too_many = connections >= kConnectionLimit;
      auto serve = [too_many](auto& session) {
        if (too_many) {
          session.TurnAway("too many connections to this station (" +
                           std::to_string(kConnectionLimit) + "): try again shortly");
        } else {
          session.Read();
        }
      };
#if FWDL_STATION_TLS
      if (tls) {
        std::make_shared<SessionOn<TlsStream>>(std::move(socket), *this, *tls)->Begin(serve);
        return Accept();
      }
#endif
      std::make_shared<SessionOn<beast::tcp_stream>>(std::move(socket), *this)->Begin(serve);
    }
    Accept();
  });
}

void HttpServer::Impl::KeepAlive() {
  keep_alive.expires_after(kKeepAlive);
  keep_alive.async_wait([this](beast::error_code error) {
    if (error) return;
    // A comment line: it keeps proxies and the browser from taking an idle
    // stream for a dead one, and finds the readers that have left.
    const auto readers = streams;
    for (const auto& stream : readers) stream->Send(": still here\n\n");
    KeepAlive();
  });
}

HttpServer::HttpServer(Handler handler) : impl_(std::make_unique<Impl>(std::move(handler))) {}

HttpServer::~HttpServer() = default;

std::optional<std::string> HttpServer::Listen(const std::string& host, unsigned short port) {
  beast::error_code error;
  tcp::resolver resolver(impl_->io);
  const auto found = resolver.resolve(host, std::to_string(port),
                                      tcp::resolver::numeric_service, error);
  if (error || found.empty()) return host + ": " + (error ? error.message() : "no address");
  const tcp::endpoint endpoint = found.begin()->endpoint();
  auto& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) return endpoint.address().to_string() + ":" + std::to_string(port) + ": " +
                    error.message();
  impl_->local = acceptor.local_endpoint();
  impl_->Accept();
  impl_->KeepAlive();
  return std::nullopt;
}

std::optional<std::string> HttpServer::UseTls(const std::string& certificate,
                                             const std::string& key) {
#if FWDL_STATION_TLS
  auto& tls = impl_->tls.emplace(asio::ssl::context::tls_server);
  beast::error_code error;
  tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                      asio::ssl::context::no_tlsv1_1,
                  error);
  if (!error) tls.use_certificate_chain_file(certificate, error);
  if (error) return "--tls-cert " + certificate + ": " + error.message();
  tls.use_private_key_file(key, asio::ssl::context::pem, error);
  if (error) return "--tls-key " + key + ": " + error.message();
  return std::nullopt;
#else
  (void)certificate, (void)key;
  return "HTTPS is not built into this fwdl";
#endif
}

std::string HttpServer::address() const { return impl_->local.address().to_string(); }
unsigned short HttpServer::port() const { return impl_->local.port(); }
bool HttpServer::loopback() const { return impl_->local.address().is_loopback(); }

void HttpServer::Broadcast(const std::string& event) {
  const auto readers = impl_->streams;  // a reader that falls behind leaves the set
  for (const auto& stream : readers) stream->Send(event);
}

void HttpServer::Post(std::function<void()> task) { asio::post(impl_->io, std::move(task)); }

void HttpServer::OnInterrupt(std::function<void()> handler) {
  impl_->on_interrupt = std::move(handler);
  impl_->signals.add(SIGINT);
  impl_->signals.add(SIGTERM);
  struct Wait {
    Impl* impl;
    void operator()(beast::error_code error, int) const {
      if (error) return;
      impl->on_interrupt();
      impl->signals.async_wait(*this);
    }
  };
  impl_->signals.async_wait(Wait{impl_.get()});
}

void HttpServer::Run() { impl_->io.run(); }

void HttpServer::Stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  impl_->signals.cancel(ignored);
  impl_->keep_alive.cancel();
  const auto readers = impl_->streams;
  for (const auto& stream : readers) stream->Close();
  impl_->io.stop();
}

std::string ServerSentEvent(const std::string& name, const std::string& data) {
  return "event: " + name + "\ndata: " + data + "\n\n";
}

}  // namespace fwdl::station
