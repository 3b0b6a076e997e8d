// Plain HTTP GET requests to the metadata service through libcurl.
#pragma once

#include <cstddef>
#include <string>

namespace tarvik {

class curl_util {
 public:
  // The one object; the first use initialises libcurl (Windows sockets only).
  static curl_util& instance();

  // Up to attempts requests of url, each limited to timeout_ms milliseconds and sent
  // from local (dotted IPv4) unless it is empty. The body of the first complete answer
  // with status 200 and a body; empty text when none came.
  std::string fetch(const std::string& url, unsigned attempts, int timeout_ms, std::string local);
  // One request: its body, or empty text when the status was not 200 or the transfer
  // did not end cleanly.
  std::string fetch_once(const std::string& url, int timeout_ms, const std::string& local);
  // libcurl's write callback: appends to the std::string at body; ends the transfer
  // (returns 0) when the body would grow past kMaxBody.
  static size_t write_body(char* data, size_t size, size_t count, void* body);

  static constexpr size_t kMaxBody = size_t{16} << 20;

 private:
  curl_util();
};

}  // namespace tarvik
