// HTTP servers on loopback for the metadata tests: one that answers each request through
// a handler (which may send in pieces, hold the connection or send without end), and a
// listener that accepts connections and never answers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tarvik::test {

struct HttpRequest {
  std::string path;
  std::string peer;  // the client's dotted address
};

// One accepted connection, as a handler sees it.
class HttpConnection {
 public:
  HttpConnection(int fd, const int& stop_fd) : fd_(fd), stop_fd_(stop_fd) {}
  // False once the client has gone.
  bool send(std::string_view bytes);
  // Waits until the client closes the connection or the server stops.
  void hold();

 private:
  int fd_;
  const int& stop_fd_;
};

class HttpServer {
 public:
  using Handler = std::function<void(const HttpRequest&, HttpConnection&)>;
  explicit HttpServer(Handler handler, const char* address = "127.0.0.1");
  // Answers from a table of path -> (status, body); other paths get 404.
  explicit HttpServer(std::map<std::string, std::pair<int, std::string>> table);
  ~HttpServer();

  uint16_t port() const { return port_; }
  // "127.0.0.1:port", as machine.ini's [network] metadata takes it.
  std::string endpoint() const;
  std::string url(const std::string& path) const { return "http://" + endpoint() + path; }
  std::vector<HttpRequest> requests();
  std::vector<std::string> paths();

  // A whole answer: status line, Content-Length and body.
  static std::string answer(int status, const std::string& body);

 private:
  void serve();

  Handler handler_;
  std::string address_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::vector<HttpRequest> requests_;
  std::thread thread_;
};

// Accepts connections (the system completes them) and never reads or answers.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  uint16_t port() const { return port_; }
  std::string endpoint() const;

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace tarvik::test
