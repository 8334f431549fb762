// Runs a program and writes its peak resident memory in KiB to a file.
//
// usage: peak_memory <result file> <program> [arguments...]
//
// The tests cannot read this from their own child: a child spawned from a large test process
// starts in that process's memory, and the peak before exec counts too. Started from this small
// program instead, the child's figure is its own.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[2], nullptr, nullptr, argv + 2, environ) != 0) return 2;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) return 2;
    }
    std::FILE* result = std::fopen(argv[1], "w");
    if (result == nullptr) return 2;
    std::fprintf(result, "%ld\n", usage.ru_maxrss);
    std::fclose(result);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
