// Stands in for a supervised agent. It only waits, so that what it inherited (argument vector,
// signal mask, streams, limits, working directory) stays readable in /proc for the tests.
//
// `probe --crash FILE N` is one start of a crash loop: if FILE exists, the probe appends a byte
// to it and, while FILE holds no more than N bytes, kills itself. The loop thus runs exactly N
// crashes once FILE is created, and the start after them, which waits, is the only live one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <string_view>
#include <system_error>

namespace {

bool CrashesNow(const char* file, std::string_view limit_text) {
  long long limit = 0;
  if (std::from_chars(limit_text.begin(), limit_text.end(), limit).ec != std::errc{}) {
    return false;
  }
  const int counter = open(file, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (counter < 0) {
    return false;  // no loop yet
  }
  struct stat after = {};
  const bool crash =
      write(counter, "x", 1) == 1 && fstat(counter, &after) == 0 && after.st_size <= limit;
  // A waiting probe holds nothing it did not inherit.
  return close(counter) == 0 && crash;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::string_view(argv[1]) == "--crash" && CrashesNow(argv[2], argv[3])) {
    // SIGKILL, not a fault: the raised core limit would have every crash write a core file.
    return raise(SIGKILL);  // returns only if it failed, which ends the loop in plain sight
  }
  for (;;) {
    pause();
  }
}
