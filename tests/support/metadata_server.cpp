#include "support/metadata_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tarvik::test {

namespace fs = std::filesystem;

MetadataServer::MetadataServer(const std::string& root, bool point_guest)
    : root_(root), log_file_(root + "/sim/metadata.log") {
  fs::create_directories(root + "/metadata");
  fs::create_directories(root + "/sim");
  std::error_code ec;
  fs::remove(log_file_, ec);  // an earlier server's lines must not be read as this one's
  pid_ = ::fork();
  if (pid_ == 0) {
    int fd = ::open(log_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    ::setenv("TARVIK_SIM_ROOT", root.c_str(), 1);
    ::execl(TARVIK_SIM_BIN, TARVIK_SIM_BIN, "metadata", "--listen", "127.0.0.1:0", nullptr);
    ::_exit(127);
  }
  const std::string marker = "on 127.0.0.1:";
  for (int i = 0; i < 200 && port_ == 0; ++i) {
    std::string text = log();
    size_t at = text.find(marker);
    if (at != std::string::npos && text.find('\n', at) != std::string::npos)
      port_ = std::atoi(text.c_str() + at + marker.size());
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (point_guest && port_ != 0)
    std::ofstream(root + "/machine.ini", std::ios::app)
        << "\n[network]\nmetadata=" << endpoint() << "\n";
}

MetadataServer::~MetadataServer() {
  if (pid_ > 0) stop(SIGTERM);
}

int MetadataServer::stop(int sig) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, sig);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MetadataServer::log() const {
  std::ifstream f(log_file_, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> MetadataServer::paths() const {
  std::vector<std::string> out;
  std::istringstream lines(log());
  std::string peer, method, path;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    if (words >> peer >> method >> path && method == "GET") out.push_back(path);
  }
  return out;
}

void MetadataServer::put(const std::string& path, const std::string& bytes) const {
  fs::path file = fs::path(root_ + "/metadata") / path.substr(1);
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace tarvik::test
