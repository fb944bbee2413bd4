#include "bench/figures.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace orv::bench {

void figure_sheet::add(const std::string& name, double value, const std::string& unit) {
  figures_.push_back({name, value, unit});
}

void figure_sheet::print() const {
  for (const figure& f : figures_) std::printf("%s %.6g %s\n", f.name.c_str(), f.value, f.unit.c_str());
  std::fflush(stdout);
}

bool figure_sheet::write_json(const std::string& path, const std::string& suite) const {
  std::error_code ignored;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  std::ofstream out(path);
  // Names and units are plain identifiers chosen here, so they need no escaping.
  out << "{\"suite\": \"" << suite << "\", \"figures\": [";
  for (std::size_t i = 0; i < figures_.size(); ++i) {
    char value[64];
    std::snprintf(value, sizeof value, "%.6g", figures_[i].value);
    out << (i ? ",\n  " : "\n  ") << "{\"name\": \"" << figures_[i].name << "\", \"value\": " << value
        << ", \"unit\": \"" << figures_[i].unit << "\"}";
  }
  out << "\n]}\n";
  return static_cast<bool>(out.flush());
}

bool collecting_reporter::ReportContext(const Context& context) {
  std::cerr << "running on " << context.cpu_info.num_cpus << " cpus at "
            << context.cpu_info.cycles_per_second / 1e6 << " MHz\n";
  return true;
}

void collecting_reporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.run_type != Run::RT_Iteration) continue;
    std::string instance = run.run_name.function_name;
    if (!run.run_name.args.empty()) instance += "/" + run.run_name.args;
    if (run.error_occurred) {
      std::cerr << instance << " failed: " << run.error_message << "\n";
      continue;
    }
    // With manual timing the accumulated real time is the manual time.
    const double seconds = run.real_accumulated_time;
    const double per_second = seconds > 0 ? static_cast<double>(run.iterations) / seconds : 0;
    std::cerr << instance << ": " << run.iterations << " iterations, " << per_second << "/s\n";
    rates_[instance].push_back(per_second);
  }
}

double collecting_reporter::rate(const std::string& instance) const {
  const auto it = rates_.find(instance);
  if (it == rates_.end() || it->second.empty()) return 0;
  return *std::max_element(it->second.begin(), it->second.end());
}

std::vector<char*> with_default_flags(int argc, char** argv) {
  static char repetitions[] = "--benchmark_repetitions=9";
  static char interleaving[] = "--benchmark_enable_random_interleaving=true";
  static char min_time[] = "--benchmark_min_time=0.1";
  // Later flags win, so the caller's own come after these.
  std::vector<char*> args = {argv[0], repetitions, interleaving, min_time};
  args.insert(args.end(), argv + 1, argv + argc);
  args.push_back(nullptr);
  return args;
}

std::string take_json_path(int& argc, char** argv, const std::string& fallback) {
  std::string path = fallback;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--json=", 7) == 0)
      path = argv[i] + 7;
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  return path;
}

int run_suite(int argc, char** argv, const std::string& suite, const std::function<void()>& register_benchmarks,
              const std::function<figure_sheet(const collecting_reporter&)>& make_figures) {
  const std::string json = take_json_path(argc, argv, "build/bench/" + suite + ".json");
  std::vector<char*> args = with_default_flags(argc, argv);
  int count = static_cast<int>(args.size()) - 1;  // without the closing null
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  register_benchmarks();
  collecting_reporter runs;
  benchmark::RunSpecifiedBenchmarks(&runs);
  benchmark::Shutdown();
  const figure_sheet sheet = make_figures(runs);
  sheet.print();
  if (!sheet.write_json(json, suite)) {
    std::fprintf(stderr, "cannot write %s\n", json.c_str());
    return 1;
  }
  return 0;
}

}  // namespace orv::bench
