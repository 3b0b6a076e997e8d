// The floor of an agent start: a minimal static C++ program that writes one file, as the
// agent writes its log. usage: floor_write FILE
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::FILE* f = std::fopen(argv[1], "ab");
  if (!f) return 1;
  std::fputs("[0][2026-01-01 00:00:00] config x host a b\r\n", f);
  return std::fclose(f) == 0 ? 0 : 1;
}
