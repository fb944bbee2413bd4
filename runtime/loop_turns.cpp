#include "runtime/loop_turns.h"

#include <time.h>

#include <cstdio>

namespace vorn {
namespace {

// The handler running on this thread; one loop per thread.
struct running {
  const char* subject = nullptr;
  const char* action = nullptr;
  loop_turns::clock::time_point start;
  bool timed = false;
};
thread_local running current;

double milliseconds(std::chrono::nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A system call, unlike the wall clock: read only while the loop is busy.
std::chrono::nanoseconds processor_time() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

}  // namespace

void loop_turns::name(const char* subject, const char* action) {
  if (current.subject) return;
  current.subject = subject;
  current.action = action;
  if (!current.timed) {
    current.start = clock::now();
    current.timed = true;
  }
}

void loop_turns::begin(const clock::time_point* start) {
  current = running{};
  if (!start) return;
  current.start = *start;
  current.timed = true;
}

bool loop_turns::end(clock::time_point now) {
  last_ = current.timed ? now - current.start : clock::duration{};
  if (last_ > stretch_longest_) {
    stretch_longest_ = last_;
    stretch_subject_ = current.subject;
    stretch_action_ = current.action;
  }
  if (last_ <= longest_) return false;
  longest_ = last_;
  subject_ = current.subject;
  action_ = current.action;
  return true;
}

bool loop_turns::unwatched_for(clock::duration stretch) {
  if (stretch <= unwatched_) return false;
  unwatched_ = stretch;
  return true;
}

void loop_turns::stretch_starts() {
  looks_ = 0;
  stretch_longest_ = {};
  work_from_ = busy_ ? processor_time() : std::chrono::nanoseconds(-1);
}

bool loop_turns::looked() {
  ++looks_;
  const auto now = processor_time();
  const bool record = work_from_.count() >= 0 && now - work_from_ > unwatched_work_;
  if (record) {
    unwatched_work_ = now - work_from_;
    work_subject_ = stretch_subject_;
    work_action_ = stretch_action_;
  }
  work_from_ = now;
  stretch_longest_ = {};
  return record;
}

bool loop_turns::stretch_ends() {
  busy_ = looks_ > 0;
  return busy_ && looked();
}

std::string loop_turns::kind_text(const char* subject, const char* action) {
  if (!subject) return "other";
  return action ? std::string(subject) + " " + action : std::string(subject);
}

std::string loop_turns::longest_kind() const { return kind_text(subject_, action_); }

std::string loop_turns::turn_line() const {
  char figure[64];
  std::snprintf(figure, sizeof figure, "Longest loop turn so far: %.3f ms, ", milliseconds(longest_));
  return figure + longest_kind();
}

std::string loop_turns::unwatched_line() const {
  char line[96];
  std::snprintf(line, sizeof line, "Longest stretch without a look at the renderers so far: %.3f ms",
                milliseconds(unwatched_));
  return line;
}

std::string loop_turns::unwatched_work_line() const {
  char line[112];
  std::snprintf(line, sizeof line,
                "Longest processor time without a look at the renderers so far: %.3f ms, longest handler: ",
                milliseconds(unwatched_work_));
  return line + kind_text(work_subject_, work_action_);
}

}  // namespace vorn
