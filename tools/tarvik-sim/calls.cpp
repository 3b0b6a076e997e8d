// tarvik-sim calls: the processes the agent started, one readable line each.
#include <cstdio>
#include <string>

#include "commands.h"
#include "platform/sim/machine.h"

namespace tarvik_sim {

namespace {
// The text of a "key":"..." or "key":123 field of one JSON line. A backslash and a quote
// are shown as themselves, so Windows paths read as they are; every other escape is kept,
// so a line break in a command line keeps the call on one line.
std::string field(const std::string& line, const std::string& key) {
  std::string head = "\"" + key + "\":";
  size_t at = line.find(head);
  if (at == std::string::npos) return {};
  at += head.size();
  if (at < line.size() && line[at] == '"') {
    std::string out;
    for (size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        char next = line[++i];
        if (next != '\\' && next != '"') out.push_back('\\');
        out.push_back(next);
        continue;
      }
      out.push_back(line[i]);
    }
    return out;
  }
  size_t end = line.find_first_of(",}", at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}
}  // namespace

int calls_command(int argc, char**, const std::string& root) {
  if (argc != 0) return usage_error("calls");
  std::string text;
  if (!tarvik::sim::read_host_file(root + "/sim/calls.jsonl", text)) return 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    if (line.empty()) continue;
    std::printf("#%s %sms %s/%s exit=%s  %s\n", field(line, "n").c_str(), field(line, "ms").c_str(),
                field(line, "how").c_str(), field(line, "via").c_str(), field(line, "exit").c_str(),
                field(line, "cmdline").c_str());
  }
  return 0;
}

}  // namespace tarvik_sim
