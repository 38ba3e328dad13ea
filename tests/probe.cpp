// Stands in for a supervised agent. It only waits, so that what it inherited (argument vector,
// signal mask, streams, limits, working directory) stays readable in /proc for the tests.
#include <unistd.h>

int main() {
  for (;;) {
    pause();
  }
}
