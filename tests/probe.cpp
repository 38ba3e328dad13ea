// Stands in for a supervised agent. It only waits, so that what it inherited (argument vector,
// signal mask, streams, limits, working directory) stays readable in /proc for the tests.
// `probe --crash FILE N` is one start of a crash loop: if FILE exists, the probe appends a byte
// to it and, while FILE holds no more than N bytes, kills itself. The loop thus runs exactly N
// crashes once FILE is created, and the start after them, which waits, is the only live one.
// `probe --hog FILE` removes FILE if it can and then takes memory until the kernel's OOM killer
// ends it; a start that finds no FILE waits.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstddef>
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

// MAP_POPULATE faults the pages in as they are mapped: they count against a limit at once.
int Hog() {
  constexpr std::size_t kChunk = std::size_t{1} << 20U;
  for (;;) {
    if (mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
             -1, 0) == MAP_FAILED) {
      return 1;  // refused rather than killed: seen as an exit, which nothing restarts
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::string_view(argv[1]) == "--crash" && CrashesNow(argv[2], argv[3])) {
    // SIGKILL, not a fault: the raised core limit would have every crash write a core file.
    return raise(SIGKILL);  // returns only if it failed, which ends the loop in plain sight
  }
  if (argc == 3 && std::string_view(argv[1]) == "--hog" && unlink(argv[2]) == 0) {
    return Hog();
  }
  for (;;) {
    pause();
  }
}
