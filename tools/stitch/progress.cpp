#include "stitch/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace stitch::cli {
namespace {

bool utf8_locale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') continue;
    const std::string_view value(v);
    return value.find("UTF-8") != std::string_view::npos ||
           value.find("utf8") != std::string_view::npos ||
           value.find("utf-8") != std::string_view::npos;
  }
  return false;
}

int terminal_columns(std::FILE* out) {
  winsize ws{};
  if (::ioctl(::fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace

ProgressBar::ProgressBar(std::string label, std::FILE* out)
    : label_(std::move(label)),
      out_(out),
      terminal_(::isatty(::fileno(out)) != 0),
      unicode_(utf8_locale()),
      start_(std::chrono::steady_clock::now()) {}

double ProgressBar::elapsed_seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressBar::update(const Progress& p) {
  const unsigned percent = std::min(p.percent, 100u);
  if (terminal_) {
    draw_line(p);
    return;
  }
  // Plain output: a line when the step changes, and within a long step
  // (the projection) one per tenth.
  const int tenth = static_cast<int>(percent / 10);
  if (p.message == last_message_ && tenth == last_tenth_) return;
  last_message_ = p.message;
  last_tenth_ = tenth;
  std::fprintf(out_, "%s %3u%%  %s\n", label_.c_str(), percent, p.message.c_str());
  std::fflush(out_);
}

void ProgressBar::draw_line(const Progress& p) {
  const unsigned percent = std::min(p.percent, 100u);
  const int columns = terminal_columns(out_);
  // label, two brackets, percent and spaces take about 20 columns; the bar
  // gets up to 30 of the rest, and the message whatever is left.
  const int bar_width = std::clamp(columns - 20 - static_cast<int>(label_.size()), 10, 30);
  const int filled = static_cast<int>(percent) * bar_width / 100;
  std::string bar;
  for (int i = 0; i < bar_width; ++i) {
    if (unicode_) {
      bar += i < filled ? "\u2588" : "\u2591";
    } else {
      bar += i < filled ? '#' : '.';
    }
  }
  std::string message = p.message;
  const int room = columns - bar_width - static_cast<int>(label_.size()) - 12;
  if (room < static_cast<int>(message.size())) {
    message.resize(static_cast<std::size_t>(std::max(room, 0)));
  }
  std::fprintf(out_, "\r%s %s %3u%%  %s\x1b[K", label_.c_str(), bar.c_str(), percent,
               message.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::finish() {
  if (terminal_ && drawn_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  drawn_ = false;
}

}  // namespace stitch::cli
