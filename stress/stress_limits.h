#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace orv::stress {

// The service the limit attacks run against, and how to look at it from outside.
struct limits_target {
  boost::asio::ip::tcp::endpoint service;
  std::string ticker;                 // made for the attacks and deleted after them
  std::function<long()> resident_kib;  // the service's resident memory
  std::filesystem::path output_dir;   // holds everything the service logs, console and files
  bool judge_memory = true;           // false for a sanitizer build, whose allocator keeps memory
};

struct limits_report {
  std::function<void(const std::string& name, double value, const std::string& unit)> figure;
  std::function<void(const std::string& what, bool held)> check;
};

// Clients that try to make the service hold memory or write logs without end: 60 connections
// each half-sending a 15 MiB message, clients that end their input right after a command
// with a long reply, and 100 invalid large group documents. Prints their figures and checks.
void run_limit_attacks(const limits_target& target, const limits_report& out);

}  // namespace orv::stress
