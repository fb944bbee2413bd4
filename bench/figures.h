#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orv::bench {

// The results a benchmark run ends with: one line "name value unit" each on standard
// output, and the same list as JSON.
class figure_sheet {
 public:
  void add(const std::string& name, double value, const std::string& unit);
  void print() const;
  // Creates the file's folder when missing; false when the file cannot be written.
  bool write_json(const std::string& path, const std::string& suite) const;

 private:
  struct figure {
    std::string name;
    double value;
    std::string unit;
  };
  std::vector<figure> figures_;
};

// Keeps the iteration runs of every benchmark instead of printing them, so the figures
// can be worked out once all have run. Progress goes to standard error.
class collecting_reporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override;
  void ReportRuns(const std::vector<Run>& runs) override;

  // Iterations per second of the named instance ("get_next_element/10"), the best of its
  // repetitions: on a shared machine other load only ever slows a repetition down (here
  // by up to 1.7x, in bursts), so the fastest is the nearest to the code's own speed.
  // 0 when it did not run or failed.
  double rate(const std::string& instance) const;

 private:
  std::map<std::string, std::vector<double>> rates_;
};

// argv behind the flags every benchmark here runs with unless told otherwise: repetitions
// in random interleaved order, so that load from elsewhere on the machine hits the
// figures of a ratio alike, and the best of them as the figure. Ends with a null.
std::vector<char*> with_default_flags(int argc, char** argv);

// The main of a Google Benchmark suite: runs what register_benchmarks registered, then
// prints the figures make_figures works out of the runs and writes them as JSON (default
// path build/bench/<suite>.json). Returns the process's exit code.
int run_suite(int argc, char** argv, const std::string& suite, const std::function<void()>& register_benchmarks,
              const std::function<figure_sheet(const collecting_reporter&)>& make_figures);

// Takes "--json=PATH" out of argv (default: fallback) before Google Benchmark reads the rest.
std::string take_json_path(int& argc, char** argv, const std::string& fallback);

}  // namespace orv::bench
