// A progress bar for one job, driven by the worker's progress events. On a
// terminal it is redrawn in place on one line; into a file or pipe it writes
// plain lines, one per step and one per tenth of the projection, so logs stay
// short and readable.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "stitch/client.hpp"

namespace stitch::cli {

class ProgressBar {
 public:
  // `label` names the job ("Preview", "Export"); `out` is usually stderr.
  ProgressBar(std::string label, std::FILE* out);
  // Shows one progress event.
  void update(const Progress& progress);
  // Ends the bar's line (on a terminal); call once the job has ended.
  void finish();
  // Seconds since the bar was made.
  double elapsed_seconds() const;

 private:
  void draw_line(const Progress& progress);

  std::string label_;
  std::FILE* out_;
  bool terminal_;
  bool unicode_;
  bool drawn_ = false;
  std::string last_message_;
  int last_tenth_ = -1;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace stitch::cli
