// The closing table of `make bench`: every figure that has a bar, its floor, the ratio and
// whether the bar is met. Reads the bars from a table (bench/bars.txt) and the figures from
// the JSON files the suites wrote; a figure whose suite did not run shows as "not run".
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct figure {
  double value;
  std::string unit;
};
using figure_map = std::map<std::string, figure>;  // by suite.name

struct bar {
  std::string figure;
  std::string floor;  // "-": the figure is the ratio
  double limit;
  bool at_most;
};

// One "{"name": ..., "value": ..., "unit": ...}" per line, as figure_sheet writes them.
void read_suite(const fs::path& file, figure_map& into) {
  const std::string suite = file.stem().string();
  std::ifstream in(file);
  static const std::regex entry(R"re(\{"name": "([^"]+)", "value": ([^,]+), "unit": "([^"]*)"\})re");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, entry)) continue;
    try {
      into[suite + "." + m[1].str()] = {std::stod(m[2].str()), m[3].str()};
    } catch (const std::exception&) {
      // "nan" or "inf" from a suite that measured nothing: not a figure.
    }
  }
}

std::optional<std::vector<bar>> read_bars(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::vector<bar> bars;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    bar b;
    std::string direction;
    if (!(fields >> b.figure >> b.floor >> b.limit >> direction) || (direction != "max" && direction != "min")) {
      std::cerr << file.string() << ": cannot read \"" << line << "\"\n";
      return std::nullopt;
    }
    b.at_most = direction == "max";
    bars.push_back(b);
  }
  return bars;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: orv_bench_summary BARS_FILE FIGURES_FOLDER\n";
    return 2;
  }
  const auto bars = read_bars(argv[1]);
  if (!bars) return 2;
  figure_map figures;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(argv[2], ignored))
    if (entry.path().extension() == ".json") read_suite(entry.path(), figures);

  const auto shown = [&](const std::string& name) {
    const auto found = figures.find(name);
    return found == figures.end() ? std::string("not run") : number(found->second.value) + " " + found->second.unit;
  };
  std::printf("\n%-52s %-18s %-40s %-16s %-9s %-8s %s\n", "figure", "value", "floor", "floor value", "ratio", "bar",
              "verdict");
  int met = 0, missed = 0, not_run = 0;
  for (const bar& b : *bars) {
    const auto value = figures.find(b.figure);
    const auto floor = b.floor == "-" ? figures.end() : figures.find(b.floor);
    std::string ratio = "-", verdict = "not run";
    if (value != figures.end() && (b.floor == "-" || (floor != figures.end() && floor->second.value != 0))) {
      const double r = b.floor == "-" ? value->second.value : value->second.value / floor->second.value;
      ratio = number(r);
      const bool held = b.at_most ? r <= b.limit : r >= b.limit;
      verdict = held ? "met" : "MISSED";
      ++(held ? met : missed);
    } else {
      ++not_run;
    }
    std::printf("%-52s %-18s %-40s %-16s %-9s %-8s %s\n", b.figure.c_str(), shown(b.figure).c_str(), b.floor.c_str(),
                b.floor == "-" ? "" : shown(b.floor).c_str(), ratio.c_str(),
                ((b.at_most ? "<= " : ">= ") + number(b.limit)).c_str(), verdict.c_str());
  }
  std::printf("bars met: %d, missed: %d, not run: %d\n", met, missed, not_run);
  return 0;
}
