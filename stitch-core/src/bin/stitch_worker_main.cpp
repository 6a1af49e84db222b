// Process entry of stitch-worker.
int main() { return 0; }
