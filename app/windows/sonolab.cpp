// sonolab: the desktop program.

#include "app/windows/Application.h"

int main(int argc, char** argv) {
  return RunSonolab(argc, argv);
}
