// Process entry of stitch-worker: everything happens in worker_main.
#include <cstdlib>

#include "worker/worker.hpp"

int main(int argc, char** argv) {
  // TurboJPEG 2.x lets these variables switch its encoder to progressive,
  // arithmetic, optimised or restart-marker output; our JPEGs are baseline
  // with standard tables whatever the caller's environment says.
  for (const char* name : {"TJ_OPTIMIZE", "TJ_ARITHMETIC", "TJ_PROGRESSIVE", "TJ_RESTART"}) {
    unsetenv(name);
  }
  return stitch::worker_main(argc, argv);
}
