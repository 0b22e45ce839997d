// web_server.cpp - the web view's routes over cpp-httplib.
#include "web_server.h"

#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "web_content.h"
#include "web_task_queue.h"

namespace qxstation {
namespace {

constexpr std::size_t kMaxPageFile = 1 << 20;
constexpr auto kHeartbeat = std::chrono::seconds(10);
// Events a new stream starts with, so that the page's list is not empty.
constexpr std::uint64_t kBacklogEvents = 50;

constexpr const char* kJson = "application/json; charset=utf-8";

void Secure(httplib::Response& res) {
  res.set_header("Content-Security-Policy", "default-src 'self'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Cache-Control", "no-store");
}

void NotFound(httplib::Response& res, const std::string& what) {
  res.status = 404;
  res.set_content(WebJsonText({{"error", what}}), kJson);
}

}  // namespace

bool LoadWebPage(const std::string& folder, WebPage* page, std::string* error) {
  static const std::pair<const char*, const char*> kFiles[] = {
      {"index.html", "text/html; charset=utf-8"},
      {"app.js", "text/javascript; charset=utf-8"},
      {"style.css", "text/css; charset=utf-8"}};
  for (const auto& [name, type] : kFiles) {
    const std::string path = folder + "/" + name;
    std::ifstream file(path, std::ios::binary);
    std::string text(kMaxPageFile + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (!file.eof() || file.bad()) {
      *error = path + (file.is_open() ? " is larger than 1 MiB" : " cannot be read");
      return false;
    }
    text.resize(static_cast<std::size_t>(file.gcount()));
    const std::string route = std::string(name) == "index.html" ? "/" : "/" + std::string(name);
    page->files[route] = {std::move(text), type};
  }
  return true;
}

std::optional<std::string> FindWebRoot() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  for (const std::filesystem::path& candidate :
       {exe.parent_path() / "web", exe.parent_path().parent_path() / "share/qxremote/web"}) {
    if (std::filesystem::is_regular_file(candidate / "index.html", error)) {
      return candidate.lexically_normal().string();
    }
  }
  return std::nullopt;
}

WebServer::WebServer(const WebOptions& options, WebPage page, WebState* state, WebLogin* login,
                     WebProviders providers)
    : options_(options),
      page_(std::move(page)),
      state_(state),
      login_(login),
      providers_(std::move(providers)) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(std::string* error) {
  if (options_.tls()) {
    auto tls =
        std::make_unique<httplib::SSLServer>(options_.certFile.c_str(), options_.keyFile.c_str());
    if (!tls->is_valid()) {
      *error = "the certificate " + options_.certFile + " or its key " + options_.keyFile +
               " cannot be used";
      return false;
    }
    server_ = std::move(tls);
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  // The server deletes its task queue when it has run it.
  server_->new_task_queue = [] {
    return std::make_unique<WebTaskQueue>(kWebThreads, kWebWaiting).release();
  };
  server_->set_tcp_nodelay(true);
  server_->set_payload_max_length(kMaxRequestBody);
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_keep_alive_timeout(5);
  server_->set_keep_alive_max_count(100);
  Route();
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.address);
    if (port_ <= 0) {
      *error = "cannot listen on " + options_.address;
      return false;
    }
  } else if (!server_->bind_to_port(options_.address, options_.port)) {
    *error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) +
             " (in use, or no address of this machine)";
    return false;
  } else {
    port_ = options_.port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void WebServer::Stop() {
  if (!server_) return;
  state_->Stop();  // the event streams end
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void WebServer::Route() {
  httplib::Server& http = *server_;
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(WebJsonText({{"error", "internal error"}}), kJson);
      });
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    Secure(res);
    if (login_->Allows(req.get_header_value("Authorization"))) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"qxremote\", charset=\"UTF-8\"");
    res.set_content(WebJsonText({{"error", "login required"}}), kJson);
    return httplib::Server::HandlerResponse::Handled;
  });
  for (const auto& [route, file] : page_.files) {
    http.Get(route, [this, route = route](const httplib::Request&, httplib::Response& res) {
      const auto& [text, type] = page_.files.at(route);
      res.set_content(text, type);
    });
  }
  http.Get("/api/tree", [this](const httplib::Request&, httplib::Response& res) {
    const std::shared_ptr<const WebSnapshot> snapshot = state_->Snapshot();
    res.set_content(snapshot->treeJson, kJson);
  });
  http.Get(R"(/api/host/([^/]{1,256}))", [this](const httplib::Request& req,
                                                httplib::Response& res) {
    const std::shared_ptr<const WebSnapshot> snapshot = state_->Snapshot();
    const std::optional<nlohmann::json> host = WebHostJson(snapshot->view, req.matches[1].str());
    if (!host) return NotFound(res, "no such host in the tree");
    res.set_content(WebJsonText(*host), kJson);
  });
  http.Get(R"(/api/project/([^/]{1,256}))",
           [this](const httplib::Request& req, httplib::Response& res) {
             const std::shared_ptr<const WebSnapshot> snapshot = state_->Snapshot();
             const nlohmann::json project = WebProjectJson(snapshot->view, req.matches[1].str());
             if (project["projects"].empty()) return NotFound(res, "no such project in the tree");
             res.set_content(WebJsonText(project), kJson);
           });
  http.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(providers_.statusJson(), kJson);
  });
  http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    std::string text = providers_.stationMetrics().value_or(std::string());
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += state_->Snapshot()->metrics;
    res.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
  });
  http.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
    if (!state_->AcquireStream()) {
      res.status = 503;
      res.set_content(WebJsonText({{"error", "too many event streams"}}), kJson);
      return;
    }
    const std::uint64_t last = state_->LastEventId();
    auto cursor =
        std::make_shared<std::uint64_t>(last > kBacklogEvents ? last - kBacklogEvents : 0);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor](std::size_t, httplib::DataSink& sink) {
          bool missed = false;
          const std::vector<WebEvent> events =
              state_->WaitEvents(*cursor, std::chrono::steady_clock::now() + kHeartbeat, &missed);
          if (state_->stopped()) return false;
          std::string text;
          if (missed) text += "event: missed\ndata: {}\n\n";
          for (const WebEvent& event : events) {
            text += "id: " + std::to_string(event.id) + "\nevent: station\ndata: " + event.json +
                    "\n\n";
            *cursor = event.id;
          }
          if (text.empty()) text = ": still here\n\n";
          return sink.write(text.data(), text.size());
        },
        [this](bool) { state_->ReleaseStream(); });
  });
}

}  // namespace qxstation
