#include "support/agent_test.h"

#include <filesystem>

#include "frame/entry.h"
#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik::test {

void AgentTest::SetUp() {
  SimGuestTest::SetUp();
  utils::reset();
  GuestInfo::reset();
}

void AgentTest::TearDown() {
  utils::reset();
  GuestInfo::reset();
  SimGuestTest::TearDown();
}

void AgentTest::write_hive(const std::string& win_path, const std::string& body) {
  write(host(win_path), "Windows Registry Editor Version 5.00\r\n\r\n" + body);
}

int AgentTest::run(const std::vector<std::string>& args) {
  std::vector<std::string> words = {"C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  int rc = run_agent(static_cast<int>(words.size()), argv.data());
  stdout_ = ::testing::internal::GetCapturedStdout();
  return rc;
}

std::string AgentTest::log_text(char drive) {
  std::string text;
  std::string folder = host(std::string(1, drive) + ":\\ProgramData\\kovenu\\tarvik\\log");
  if (std::filesystem::is_directory(folder))
    for (const auto& e : std::filesystem::directory_iterator(folder)) text += read(e.path());
  return text;
}

std::vector<std::string> AgentTest::log_lines(char drive) {
  std::vector<std::string> lines;
  std::string text = log_text(drive);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

std::vector<std::string> AgentTest::log_messages(char drive) {
  std::vector<std::string> out;
  for (const auto& line : log_lines(drive)) {
    size_t at = line.find("] ");
    out.push_back(at == std::string::npos ? line : line.substr(at + 2));
  }
  return out;
}

}  // namespace tarvik::test
