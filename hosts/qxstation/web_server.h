// web_server.h - WebServer, the HTTP side of "qxstation web": routes, login, bounds.
//
// Serves the page's own files (index.html, app.js, style.css, read once at start from the
// page folder; no other path is ever opened), the tree and its parts as JSON from the
// WebState's snapshot, the station's status, the events as Server-Sent Events, and /metrics.
// Every answer carries Content-Security-Policy default-src 'self' and no-store; every request
// is bounded: 8 KiB of headers and request line (the library's limit), 4 KiB of body, 5 s to
// read or write, kWebThreads request threads with kWebWaiting connections waiting, and
// kMaxStreams event streams. With a login every route asks for it (401 otherwise).
// The server owns its threads; Start and Stop from one thread; the handlers run on the request
// threads and read the state, the login and the two providers, which must outlive the server.
//
//   WebServer server(options, page, &state, &login, providers);
//   if (!server.Start(&error)) ...; ...; server.Stop();
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "web_login.h"
#include "web_options.h"
#include "web_state.h"

namespace httplib {
class Server;
}

namespace qxstation {

inline constexpr std::size_t kWebThreads = 16;
inline constexpr std::size_t kWebWaiting = 32;
inline constexpr std::size_t kMaxRequestBody = 4096;

// The page's files by request path ("/", "/app.js", "/style.css"): content and type.
struct WebPage {
  std::map<std::string, std::pair<std::string, std::string>> files;
};
// Reads the page from folder; false and the reason when a file is missing or too large.
bool LoadWebPage(const std::string& folder, WebPage* page, std::string* error);
// The page folder of an installed or built qxstation: beside the program (a build tree) or
// ../share/qxremote/web from it; nullopt when neither holds index.html.
std::optional<std::string> FindWebRoot();

struct WebProviders {
  std::function<std::string()> statusJson;                     // qxstation status --json
  std::function<std::optional<std::string>()> stationMetrics;  // nullopt: the agent has none
};

class WebServer {
 public:
  WebServer(const WebOptions& options, WebPage page, WebState* state, WebLogin* login,
            WebProviders providers);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds (port 0 of the options: any free port) and serves on a thread of its own.
  bool Start(std::string* error);
  int port() const { return port_; }
  void Stop();

 private:
  void Route();

  WebOptions options_;
  WebPage page_;
  WebState* state_;
  WebLogin* login_;
  WebProviders providers_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace qxstation
