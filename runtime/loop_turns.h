#pragma once

#include <chrono>
#include <string>

namespace vorn {

// What the loop's turns cost, measured from inside: the longest single handler, with the
// kind of work it did, and the longest the loop ran handlers without looking at its urgent
// descriptors (a renderer ready just after one look waits about that long for the next).
// Both are wall-clock times, so they include any time the system gave the processor to
// another process meanwhile. The processor time the loop itself spent between two looks
// is kept apart: that part is the service's own. Costs two clock reads per handler, and
// a read of the thread's processor clock per look while the loop is busy.
class loop_turns {
 public:
  using clock = std::chrono::steady_clock;

  // Names the work of the running handler, e.g. ("tickertalk", "read"); both texts must
  // live as long as the program (literals). The first name given in a turn holds. A handler
  // the loop runs right after an idle wait is timed from here on, so name it on entry: an
  // unnamed one is timed only when it runs behind another.
  static void name(const char* subject, const char* action = nullptr);

  // Used by the loop around each handler. begin(nullptr): the start is not known yet.
  // end and unwatched_for return true when the figure is a new longest.
  void begin(const clock::time_point* start);
  bool end(clock::time_point now);
  bool unwatched_for(clock::duration stretch);
  // Around a busy stretch of handlers and at each look inside it; each returns true when
  // the processor time since the last look is a new longest. The processor clock is read
  // only in a stretch that follows a busy one: a loop that is idle between handlers pays
  // nothing, and a stretch right after an idle wait is not measured this way.
  void stretch_starts();
  bool looked();
  bool stretch_ends();

  // The handler that ended last; zero when it was not timed.
  clock::duration last_length() const { return last_; }
  clock::duration longest_turn() const { return longest_; }
  // "tickertalk read", or "other" when the handler named nothing.
  std::string longest_kind() const;
  clock::duration longest_unwatched() const { return unwatched_; }
  std::chrono::nanoseconds longest_unwatched_work() const { return unwatched_work_; }
  // Lines for the log, figures in milliseconds.
  std::string turn_line() const;
  std::string unwatched_line() const;
  std::string unwatched_work_line() const;

 private:
  static std::string kind_text(const char* subject, const char* action);

  clock::duration last_{};
  clock::duration longest_{};
  const char* subject_ = nullptr;
  const char* action_ = nullptr;
  clock::duration unwatched_{};
  std::chrono::nanoseconds unwatched_work_{};
  std::chrono::nanoseconds work_from_{-1};  // processor time at the last look; -1: unknown
  clock::duration stretch_longest_{};  // the longest handler since the last look, and its kind
  const char* stretch_subject_ = nullptr;
  const char* stretch_action_ = nullptr;
  const char* work_subject_ = nullptr;  // that kind in the stretch of unwatched_work_
  const char* work_action_ = nullptr;
  bool busy_ = false;   // the last stretch had looks inside it
  int looks_ = 0;       // looks in this stretch
};

}  // namespace vorn
