// The floor of a cloud-init run: a program linked as the agent is (the same static
// libcurl) that makes the run's requests on loopback, one easy handle a request as the
// agent's curl_util does, then writes one file as the agent writes its log.
// usage: floor_fetch FILE URL...
#include <curl/curl.h>

#include <cstdio>
#include <string>

namespace {

size_t keep(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  curl_global_init(CURL_GLOBAL_ALL);
  std::string bodies;
  for (int i = 2; i < argc; ++i) {
    CURL* handle = curl_easy_init();
    if (!handle) return 1;
    curl_easy_setopt(handle, CURLOPT_URL, argv[i]);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &bodies);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 5000L);
    CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    if (rc != CURLE_OK) return 1;
  }
  std::FILE* f = std::fopen(argv[1], "ab");
  if (!f) return 1;
  std::fprintf(f, "%zu bytes from %d requests\r\n", bodies.size(), argc - 2);
  return std::fclose(f) == 0 ? 0 : 1;
}
