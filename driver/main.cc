#include <cstdio>

int main(int argc, char** argv) {
  (void)argv;
  if (argc <= 1) {
    std::puts("Usage: polc options <input files>");
  }
  return 0;
}
