#include <cstdio>

int main() {
  std::puts("Tessel");
  return 0;
}
