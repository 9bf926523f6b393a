// run_peak REPORT PROGRAM [ARGUMENTS...]
// Runs PROGRAM and writes "WALL_NANOSECONDS CPU_NANOSECONDS PEAK_RSS_KIB
// EXIT_STATUS" to REPORT (CPU: user and system time of the child). The peak resident size is the child's own: this launcher is small
// when it forks, whereas a fork of a large parent (an interpreter) would
// count the parent's pages as the child's high-water mark. Standard output
// and error pass through. Exit code: 0 when the report was written.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_peak REPORT PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    timespec start{}, end{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = ::fork();
    if (child < 0) {
        std::perror("run_peak: fork");
        return 1;
    }
    if (child == 0) {
        ::execvp(argv[2], argv + 2);
        std::perror("run_peak: exec");
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child) {
        std::perror("run_peak: wait4");
        return 1;
    }
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    long long wall = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE* report = std::fopen(argv[1], "w");
    if (!report) {
        std::perror("run_peak: report");
        return 1;
    }
    long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
    std::fprintf(report, "%lld %lld %ld %d\n", wall, cpu, usage.ru_maxrss, code);
    return std::fclose(report) == 0 ? 0 : 1;
}
