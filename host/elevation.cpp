#include "host/elevation.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "runtime/system_error.h"

namespace orv {

std::vector<std::string> elevated_command(const std::string& module, const std::vector<std::string>& arguments) {
  std::vector<std::string> words{"sudo"};
  std::vector<std::string> carried;
  for (const char* name : {"ORV_TICKER_REGISTRY_ROOT", "ORV_TICKER_BUS"})
    if (const char* value = std::getenv(name)) carried.push_back(std::string(name) + "=" + value);
  if (!carried.empty()) {
    words.push_back("env");
    words.insert(words.end(), carried.begin(), carried.end());
  }
  words.push_back(module);
  words.insert(words.end(), arguments.begin(), arguments.end());
  words.push_back("--elevated");
  return words;
}

int relaunch_elevated(const std::string& module, const std::vector<std::string>& arguments) {
  auto words = elevated_command(module, arguments);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw vorn::win32_error("ShellExecuteEx");
  const pid_t child = ::fork();
  if (child < 0) throw vorn::win32_error("ShellExecuteEx");
  if (child == 0) {
    ::execvp(argv[0], argv.data());
    const int error = errno;  // tells the parent why sudo could not start
    (void)!::write(pipe_fds[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  int start_error = 0;
  const bool failed = ::read(pipe_fds[0], &start_error, sizeof start_error) == sizeof start_error;
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR) throw vorn::win32_error("GetExitCodeProcess");
  if (failed) throw vorn::win32_error("ShellExecuteEx", start_error);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  throw vorn::win32_error("GetExitCodeProcess", ECHILD);
}

}  // namespace orv
