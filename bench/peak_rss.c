/* peak_rss: runs a program and writes its peak resident set size and CPU
 * time to a file.
 *   peak_rss RESULT_FILE PROGRAM [ARG...]
 * RESULT_FILE receives "<peak KiB> <exit status> <user s> <system s>\n"
 * (seconds with microsecond digits); standard streams are
 * passed through untouched. Linux (wait4's ru_maxrss is in KiB there).
 * It exists because Linux counts the memory of the process that forked and
 * exec'd a child into the child's ru_maxrss: measured straight from Python,
 * every child looks at least as big as the Python interpreter. Forked from
 * this small program instead, the floor is well under 2 MiB. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: peak_rss RESULT_FILE PROGRAM [ARG...]\n");
        return 64;
    }
    pid_t child = fork();
    if (child < 0) {
        perror("peak_rss: fork");
        return 71;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror("peak_rss: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno == EINTR) continue;
        perror("peak_rss: wait4");
        return 71;
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE *result = fopen(argv[1], "w");
    if (result == NULL || fprintf(result, "%ld %d %ld.%06ld %ld.%06ld\n", usage.ru_maxrss, code,
                                            (long)usage.ru_utime.tv_sec, (long)usage.ru_utime.tv_usec,
                                            (long)usage.ru_stime.tv_sec, (long)usage.ru_stime.tv_usec) < 0 || fclose(result) != 0) {
        perror("peak_rss: result file");
        return 71;
    }
    return code;
}
