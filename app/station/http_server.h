// The station's HTTP server, on Boost.Beast: one thread runs every
// connection, the streams of events and whatever other threads post to it.
// Requests are read with a limit on the header and on the body (a longer
// body gets 413, a malformed request 400) and handed to the handler as
// plain values (requests.h); a reply with `stream` set stays open as a
// stream of Server-Sent Events, which Broadcast feeds. Open streams and
// connections are bounded; one beyond the bound gets 503 and is closed.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/station/requests.h"

namespace fwdl::station {

class HttpServer {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  explicit HttpServer(Handler handler);
  ~HttpServer();

  // Listens on `host` (an address or a name) and `port` (0: any free one);
  // nothing, or why not.
  std::optional<std::string> Listen(const std::string& host, unsigned short port);
  // Serves HTTPS with this certificate (chain) and key, PEM files; why
  // not, or nothing. Before Run.
  std::optional<std::string> UseTls(const std::string& certificate, const std::string& key);
  std::string address() const;  // "127.0.0.1", "::1"
  unsigned short port() const;
  bool loopback() const;

  // One Server-Sent Event to every open stream: "event: NAME\ndata: ...\n\n".
  void Broadcast(const std::string& event);
  // Runs `task` on the server's thread; safe from any thread.
  void Post(std::function<void()> task);
  // Ctrl-C or a request to terminate, each time one comes.
  void OnInterrupt(std::function<void()> handler);
  // Serves until Stop.
  void Run();
  void Stop();

  struct Impl;  // the workings, in http_server.cpp

 private:
  std::unique_ptr<Impl> impl_;
};

// A Server-Sent Event of `name` with `data` on one line.
std::string ServerSentEvent(const std::string& name, const std::string& data);

}  // namespace fwdl::station
