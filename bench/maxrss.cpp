// Runs a command, waits for it and prints its peak resident set size in KiB on stdout.
// The command's own exit status becomes this program's (127 if it could not start).
//
//   wrapper-bench-maxrss COMMAND [ARGUMENTS...]

#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wrapper-bench-maxrss COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    pid_t child = 0;
    if (posix_spawnp(&child, argv[1], nullptr, nullptr, argv + 1, environ) != 0) {
        std::fprintf(stderr, "wrapper-bench-maxrss: cannot start %s\n", argv[1]);
        return 127;
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return 127;
    // ru_maxrss is in KiB on Linux, and covers this one child only.
    std::printf("%ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
