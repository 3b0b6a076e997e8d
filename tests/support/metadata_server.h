// `tarvik-sim metadata` serving a simulated guest's ROOT/metadata on a free loopback
// port, for as long as the object lives.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvik::test {

class MetadataServer {
 public:
  // Starts the server and points the guest's machine.ini [network] metadata at it.
  explicit MetadataServer(const std::string& root, bool point_guest = true);
  ~MetadataServer();

  bool running() const { return port_ != 0; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
  // Sends sig and waits: the exit code (-1 when it did not exit normally).
  int stop(int sig);
  // What it wrote on standard error so far.
  std::string log() const;
  // The request paths of its log lines, in order.
  std::vector<std::string> paths() const;
  // Puts a file below ROOT/metadata.
  void put(const std::string& path, const std::string& bytes) const;

 private:
  std::string root_, log_file_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace tarvik::test
