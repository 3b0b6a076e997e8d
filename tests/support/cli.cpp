#include "support/cli.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvik::test {

CliResult run_cli(const std::string& program, const std::vector<std::string>& args,
                  const std::string& root) {
  CliResult r;
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return r;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    if (root.empty())
      ::unsetenv("TARVIK_SIM_ROOT");
    else
      ::setenv("TARVIK_SIM_ROOT", root.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  char buf[4096];
  while (open > 0 && ::poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

CliResult tarvik(const std::string& root, const std::vector<std::string>& args) {
  return run_cli(TARVIK_BIN, args, root);
}

CliResult tarvik_sim(const std::string& root, const std::vector<std::string>& args) {
  return run_cli(TARVIK_SIM_BIN, args, root);
}

std::string output_of(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

std::string hivexget(const std::string& file, const std::string& key, const std::string& name) {
  return output_of("hivexget '" + file + "' '" + key + "' '" + name + "'");
}

std::string hivexregedit_export(const std::string& file, const std::string& key) {
  return output_of("hivexregedit --export '" + file + "' '" + key + "'");
}

namespace {

// The JSON string value of key in one line, unescaped; false when absent.
bool json_string(const std::string& line, const std::string& key, std::string& out) {
  std::string head = "\"" + key + "\":\"";
  size_t at = line.find(head);
  if (at == std::string::npos) return false;
  out.clear();
  for (size_t i = at + head.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      out.push_back(line[i]);
      continue;
    }
    char c = line[++i];
    switch (c) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u':
        out.push_back(static_cast<char>(std::strtol(line.substr(i + 1, 4).c_str(), nullptr, 16)));
        i += 4;
        break;
      default:
        out.push_back(c);
    }
  }
  return true;
}

}  // namespace

std::vector<Call> read_calls(const std::string& root) {
  std::vector<Call> calls;
  std::ifstream f(root + "/sim/calls.jsonl");
  std::string line;
  while (std::getline(f, line)) {
    Call c;
    json_string(line, "cmdline", c.cmdline);
    json_string(line, "stdin", c.stdin_text);
    json_string(line, "output", c.output);
    json_string(line, "via", c.via);
    json_string(line, "how", c.how);
    size_t at = line.find("\"exit\":");
    if (at != std::string::npos) c.exit = std::strtol(line.c_str() + at + 7, nullptr, 10);
    at = line.find("\"ms\":");
    if (at != std::string::npos) c.ms = std::strtol(line.c_str() + at + 5, nullptr, 10);
    calls.push_back(std::move(c));
  }
  return calls;
}

}  // namespace tarvik::test
