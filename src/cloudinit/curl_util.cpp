// curl_util: GET requests with retries, one easy handle a request.
#include "cloudinit/curl_util.h"

#include <curl/curl.h>

#include "frame/utils.h"

namespace tarvik {

curl_util::curl_util() {
  curl_global_init(CURL_GLOBAL_WIN32);
}

curl_util& curl_util::instance() {
  static curl_util util;
  return util;
}

size_t curl_util::write_body(char* data, size_t size, size_t count, void* body) {
  auto* text = static_cast<std::string*>(body);
  if (count != 0 && size > kMaxBody / count) return 0;
  size_t bytes = size * count;
  if (bytes > kMaxBody - text->size()) return 0;  // libcurl ends the transfer
  text->append(data, bytes);
  return bytes;
}

std::string curl_util::fetch_once(const std::string& url, int timeout_ms,
                                  const std::string& local) {
  std::string body;
  long status = 0;
  CURL* handle = curl_easy_init();
  if (handle != nullptr) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &curl_util::write_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    if (!local.empty()) curl_easy_setopt(handle, CURLOPT_INTERFACE, local.c_str());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms));
    CURLcode result = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(handle);
    if (result == CURLE_WRITE_ERROR)
      utils::log("curl_util::fetch body over %u bytes, transfer ended",
                 static_cast<unsigned>(kMaxBody));
    // A transfer cut short (time limit, body cap, lost connection) leaves a partial body.
    if (result != CURLE_OK) status = 0;
  }
  if (status != 200) body.clear();
  return body;
}

std::string curl_util::fetch(const std::string& url, unsigned attempts, int timeout_ms,
                             std::string local) {
  utils::log("-->curl_util::fetch %d,%d,%s", static_cast<int>(attempts), timeout_ms, local.c_str());
  for (unsigned attempt = 0; attempt < attempts; ++attempt) {
    std::string body = fetch_once(url, timeout_ms, local);
    if (!body.empty()) {
      utils::log("<--curl_util::fetch");
      return body;
    }
  }
  utils::log("<--curl_util::fetch");
  return "";
}

}  // namespace tarvik
