// Stands in for the game client in tests: runs until it is killed. With an
// argument it first creates that file, so a test can tell it has started.
#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
  if (argc > 1) {
    if (FILE* marker = fopen(argv[1], "w")) fclose(marker);
  }
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
}
