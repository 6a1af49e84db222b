// Process entry of stitch-worker: everything happens in worker_main.
#include "worker/worker.hpp"

int main(int argc, char** argv) { return stitch::worker_main(argc, argv); }
