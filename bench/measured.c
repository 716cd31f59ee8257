/*
 * Runs a program and reports its wall time, peak resident memory and exit status.
 *
 *   measured <report file> <program> [arguments...]
 *
 * The report file gets one line: "<seconds> <peak KiB> <status>". Standard input, output
 * and error are the program's own.
 *
 * Why not measure from bench.py directly: Linux carries a process's peak resident memory
 * across fork and exec, so a child of a large Python process reports at least the
 * Python process's memory. This launcher is small, so the peak is the program's own.
 */

#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <report file> <program> [arguments...]\n", argv[0]);
        return 2;
    }
    struct timespec start;
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) < 0) {
        perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds =
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE* report = fopen(argv[1], "w");
    if (report == NULL) {
        perror(argv[1]);
        return 2;
    }
    fprintf(report, "%.6f %ld %d\n", seconds, usage.ru_maxrss, code);
    fclose(report);
    return 0;
}
