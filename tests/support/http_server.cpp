#include "support/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace tarvik::test {

namespace {

int listen_on(const char* address, uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// Waits for fd to be readable; false when stop_fd fired first.
bool wait_readable(int fd, int stop_fd) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) return false;
    if (p[0].revents) return true;
  }
}

}  // namespace

bool HttpConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void HttpConnection::hold() {
  char buf[256];
  while (wait_readable(fd_, stop_fd_))
    if (::recv(fd_, buf, sizeof buf, 0) <= 0) return;
}

HttpServer::HttpServer(Handler handler, const char* address)
    : handler_(std::move(handler)), address_(address) {
  listen_fd_ = listen_on(address, port_);
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this] { serve(); });
}

HttpServer::HttpServer(std::map<std::string, std::pair<int, std::string>> table)
    : HttpServer([table = std::move(table)](const HttpRequest& r, HttpConnection& c) {
        auto it = table.find(r.path);
        c.send(it == table.end() ? answer(404, "") : answer(it->second.first, it->second.second));
      }) {}

HttpServer::~HttpServer() {
  if (thread_.joinable()) {
    char b = 1;
    ssize_t ignored = ::write(stop_pipe_[1], &b, 1);
    (void)ignored;
    thread_.join();
  }
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]})
    if (fd >= 0) ::close(fd);
}

std::string HttpServer::endpoint() const {
  return address_ + ":" + std::to_string(port_);
}

std::vector<HttpRequest> HttpServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> HttpServer::paths() {
  std::vector<std::string> out;
  for (const HttpRequest& r : requests()) out.push_back(r.path);
  return out;
}

std::string HttpServer::answer(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

void HttpServer::serve() {
  while (wait_readable(listen_fd_, stop_pipe_[0])) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos && wait_readable(fd, stop_pipe_[0])) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      head.append(buf, static_cast<size_t>(n));
    }
    HttpRequest request;
    size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
    if (sp1 != std::string::npos && sp2 != std::string::npos) {
      request.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
      request.peer = text;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      HttpConnection connection(fd, stop_pipe_[0]);
      handler_(request, connection);
    }
    ::close(fd);
  }
}

SilentListener::SilentListener() {
  fd_ = listen_on("127.0.0.1", port_);
}

SilentListener::~SilentListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::string SilentListener::endpoint() const {
  return "127.0.0.1:" + std::to_string(port_);
}

}  // namespace tarvik::test
