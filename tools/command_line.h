#pragma once

#include <boost/program_options.hpp>

#include <iostream>
#include <optional>

namespace orv {

// Reads argv against the described options, with "help" printing them. Returns the exit
// code to end with (0 after help, 2 on a bad command line, the error shown above the
// options), or nothing when the program should go on.
inline std::optional<int> read_command_line(int argc, char** argv,
                                            const boost::program_options::options_description& described) {
  namespace po = boost::program_options;
  try {
    po::variables_map given;
    po::store(po::parse_command_line(argc, argv, described), given);
    if (given.count("help")) {
      std::cout << described;
      return 0;
    }
    po::notify(given);
  } catch (const po::error& e) {
    std::cerr << e.what() << "\n" << described;
    return 2;
  }
  return std::nullopt;
}

}  // namespace orv
