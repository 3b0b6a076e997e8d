// "passwd": the password of a local account, set with net user.
#include "config/config.h"
#include "config/retry.h"
#include "frame/utils.h"

namespace tarvik {

namespace {
constexpr size_t kMaxPassword = 511;
}  // namespace

std::string command_line_word(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  // Inside quotes, backslashes are literal except before a quote (or the closing quote):
  // there 2n stand for n, and \" for a quote.
  std::string word = "\"";
  // At most two characters for each one and the quotes: the word is never moved, so a
  // password it holds is wiped by wiping the word.
  word.reserve(arg.size() * 2 + 2);
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    word.append(backslashes, '\\');
    backslashes = 0;
    word += c;
  }
  word.append(backslashes * 2, '\\');
  return word + "\"";
}

int Config::config_passwd(int, char** words) {
  utils::log("-->Config::config_passwd");
  enable_wow64_fs_redirection(false);
  platform().files().delete_file("C:\\Program Files\\KovenuService\\agent.log");
  enable_wow64_fs_redirection(true);

  // The decoded password, and every text that holds it, is wiped once net has been
  // started or the password refused.
  System& system = platform().system();
  // Text the decoder refuses, or that gives no usable password, never reaches net user:
  // an empty or cut password would be set as it came out.
  std::string password;
  Status s = system.base64_decode(words[2], password);
  if (s != win::kSuccess || password.empty() || password.size() > kMaxPassword ||
      password.find('\0') != std::string::npos) {
    system.wipe(password);
    utils::exit_report(-1, "invalid password encoding");
    return -1;
  }
  // net reads its own syntax in the words the runtime gives it: "/delete" or "/active:no"
  // would delete or disable the account, and "*" asks for a password on a console that
  // never answers.
  if (password[0] == '/' || password == "*") {
    system.wipe(password);
    utils::exit_report(-1, "invalid password");
    return -1;
  }

  std::string word = command_line_word(password);
  system.wipe(password);
  std::string cmd = "net user " + command_line_word(words[1]);
  cmd.reserve(cmd.size() + 1 + word.size());  // the password is copied once, into place
  cmd += ' ';
  cmd += word;
  system.wipe(word);
  int code = config::retry(3, 2000, [&] {
    std::string out;
    int c = utils::run_cmd(cmd, out);
    if (c != 0)
      utils::log("TARVIK_REPORT_ERROR:%s code=%d %s", "config_passwd_error", c, out.c_str());
    return c;
  });
  system.wipe(cmd);
  if (code == 0) {
    utils::exit_report(0, "success");
    return 0;
  }
  utils::exit_report(-1, "config pass fail");
  return -1;
}

}  // namespace tarvik
