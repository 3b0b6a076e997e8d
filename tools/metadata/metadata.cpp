// tarvik-sim metadata --listen ADDR:PORT: the platform's metadata service for a simulated
// guest, a program of its own (tarvik-sim-metadata ROOT --listen ADDR:PORT, which
// tarvik-sim becomes): only it loads cpp-httplib and the TLS and compression libraries
// that come with it, so that every other start of tarvik-sim is cheap. GET /a/b answers with the
// bytes of ROOT/metadata/a/b (a path ending in "/" with the file "index" in that folder); a file
// "<name>.status" beside it gives another status (its first line) and headers (its further "Name:
// value" lines). Absent: 404.
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

bool read_bytes(const fs::path& file, std::string& out) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

// The file a request path names below folder, or empty for one that leaves it or names
// a status file.
fs::path file_of(const fs::path& folder, const std::string& path) {
  if (path.empty() || path[0] != '/') return {};
  fs::path file = folder;
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (part == "." || part == ".." || part.find('\0') != std::string::npos) return {};
    if (slash == path.size()) {
      if (part.empty()) part = "index";
      if (part.size() > 7 && part.compare(part.size() - 7, 7, ".status") == 0) return {};
      return file / part;
    }
    if (part.empty()) return {};
    file /= part;
    start = slash + 1;
  }
  return {};
}

void answer(const fs::path& folder, const httplib::Request& req, httplib::Response& res) {
  fs::path file = file_of(folder, req.path);
  std::string body, status_text;
  bool has_body = !file.empty() && read_bytes(file, body);
  bool has_status = !file.empty() && read_bytes(file.string() + ".status", status_text);
  res.status = has_body ? 200 : 404;
  if (has_status) {
    std::istringstream lines(status_text);
    std::string line;
    if (std::getline(lines, line)) res.status = std::atoi(line.c_str());
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      size_t value = line.find_first_not_of(' ', colon + 1);
      res.set_header(line.substr(0, colon), value == std::string::npos ? "" : line.substr(value));
    }
  }
  if (has_body) res.set_content(body, "application/octet-stream");
}

int metadata_command(int argc, char** argv, const std::string& root) {
  std::string listen;
  if (argc == 2 && std::string(argv[0]) == "--listen") listen = argv[1];
  size_t colon = listen.rfind(':');
  char* end = nullptr;
  long port = colon == std::string::npos ? -1 : std::strtol(listen.c_str() + colon + 1, &end, 10);
  if (colon == std::string::npos || colon == 0 || end == listen.c_str() + colon + 1 || *end ||
      port < 0 || port > 65535) {
    // The words of tarvik-sim's own usage error, whose verb this program serves.
    std::fprintf(stderr,
                 "tarvik-sim metadata: usage: tarvik-sim metadata --listen ADDR:PORT "
                 "(tarvik-sim help metadata says more)\n");
    return 2;
  }
  std::string address = listen.substr(0, colon);
  fs::path folder = fs::path(root) / "metadata";

  // SIGINT and SIGTERM are taken by one thread, which stops the server; every other
  // thread (the server's too) has them blocked.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  // Each request is logged by its handler, before its answer is sent: the library's own
  // logger runs after the answer, so a client's next request, taken by another worker
  // thread, could be logged before the one that it followed.
  auto log = [](const httplib::Request& req, const httplib::Response& res) {
    std::fprintf(stderr, "%s %s %s %d %zu\n", req.remote_addr.c_str(), req.method.c_str(),
                 req.path.c_str(), res.status, res.body.size());
    std::fflush(stderr);
  };
  httplib::Server server;
  server.Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    answer(folder, req, res);
    log(req, res);
  });
  // The service answers nothing but GET (and HEAD, which the library serves by GET).
  auto refuse = [&](const httplib::Request& req, httplib::Response& res) {
    res.status = 405;
    log(req, res);
  };
  server.Post(".*", refuse).Put(".*", refuse).Patch(".*", refuse).Delete(".*", refuse);
  // The library's own options let a second server bind a port in use (SO_REUSEPORT), and
  // the two would then share its requests. A restarted server may still take a port whose
  // old connections linger (SO_REUSEADDR), but never one another server listens on.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  errno = 0;
  int bound =
      port == 0
          ? server.bind_to_any_port(address)
          : (server.bind_to_port(address, static_cast<int>(port)) ? static_cast<int>(port) : -1);
  if (bound <= 0 && errno == EADDRINUSE) {
    std::fprintf(stderr, "tarvik-sim metadata: cannot listen on %s: address in use\n",
                 listen.c_str());
    return 2;
  }
  if (bound <= 0) {
    std::fprintf(stderr, "tarvik-sim metadata: cannot listen on %s\n", listen.c_str());
    return 1;
  }
  std::fprintf(stderr, "tarvik-sim metadata: serving %s on %s:%d\n", folder.string().c_str(),
               address.c_str(), bound);
  std::fflush(stderr);

  // The server stops only once it runs: a signal that comes while listen_after_bind is
  // still starting waits for that, or the stop would be lost and the server never end.
  std::atomic<bool> ended{false};
  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    while (!ended && !server.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
  });
  server.listen_after_bind();
  ended = true;
  // A server that ended on its own still has its stopper waiting: wake it.
  if (stopper.joinable()) {
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
  }
  std::fprintf(stderr, "tarvik-sim metadata: stopped\n");
  return 0;
}

}  // namespace

// usage: tarvik-sim-metadata ROOT --listen ADDR:PORT
int main(int argc, char** argv) {
  if (argc < 2) return metadata_command(0, argv, "");
  return metadata_command(argc - 2, argv + 2, argv[1]);
}
