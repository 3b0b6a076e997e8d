// A small program the process-runner contract starts. Its arguments say what it does,
// in order:
//   out=TEXT   writes TEXT to standard output      err=TEXT  ... to standard error
//   nul        writes one NUL byte to standard output
//   bytes=N    writes N bytes "0123456789" repeated to standard output
//   echo       copies standard input to standard output up to end of input or a NUL
//   sleep=MS   waits MS milliseconds
//   exit=N     ends with exit code N (the last argument that runs)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* key) -> const char* {
      size_t n = std::strlen(key);
      return a.compare(0, n, key) == 0 ? argv[i] + n : nullptr;
    };
    if (const char* v = value("out=")) {
      std::fputs(v, stdout);
    } else if (const char* v = value("err=")) {
      std::fflush(stdout);
      std::fputs(v, stderr);
      std::fflush(stderr);
    } else if (a == "nul") {
      std::fputc('\0', stdout);
    } else if (const char* v = value("bytes=")) {
      long n = std::atol(v);
      for (long k = 0; k < n; ++k) std::fputc('0' + static_cast<int>(k % 10), stdout);
    } else if (a == "echo") {
      int c;
      while ((c = std::fgetc(stdin)) != EOF && c != '\0') std::fputc(c, stdout);
    } else if (const char* v = value("sleep=")) {
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(v)));
    } else if (const char* v = value("exit=")) {
      std::fflush(stdout);
      return std::atoi(v);
    }
  }
  return 0;
}
