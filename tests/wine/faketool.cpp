// Stands in for a command-line tool of Windows (net, route, netsh, ...) in the Wine tests.
// Copied into the agent's folder under the tool's name, it is found before the system's
// own tool. It appends "name<TAB>arguments" (TAB-separated) to the file FAKETOOL_LOG, prints
// FAKETOOL_<NAME>_OUTPUT (with \n, \r, \t and \\ escapes) and ends with the code
// FAKETOOL_<NAME>_EXIT (0 when unset). NAME is the program's own name, upper case,
// without its extension.
#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string tool_name(const char* argv0) {
  std::string path = argv0;
  size_t slash = path.find_last_of("\\/");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
  }
  return out;
}

const char* env(const std::string& upper_name, const char* what) {
  return std::getenv(("FAKETOOL_" + upper_name + "_" + what).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = tool_name(argc > 0 ? argv[0] : "tool");
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args += '\t';  // each argument as the C runtime split it
    args += argv[i];
  }
  if (const char* log = std::getenv("FAKETOOL_LOG")) {
    if (FILE* f = std::fopen(log, "ab")) {
      std::fprintf(f, "%s\t%s\n", name.c_str(), args.c_str());
      std::fclose(f);
    }
  }
  _setmode(_fileno(stdout), _O_BINARY);  // the output as given, without CR added
  if (const char* out = env(upper, "OUTPUT")) {
    std::string text = unescape(out);
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  const char* code = env(upper, "EXIT");
  return code != nullptr ? std::atoi(code) : 0;
}
