/* The I/O floor of a batch: what any converter of the same tree must at
 * least do. On as many threads as asked, it reads each input whole and
 * writes each of its outputs as a new file of the output's size, zeros,
 * its size reserved first, 1 MiB at a time.
 *
 *   tree_floor <threads> <manifest>
 *
 * The manifest has a line per input: its name, the outputs' size, and the
 * outputs' names, separated by tabs. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kBlock = 1 << 20, kMostLines = 100000 };

static char* g_lines[kMostLines];
static int g_count;
static atomic_int g_next;
static atomic_int g_failed;

static void ReadWhole(const char* name, char* buffer)
{
    const int fd = open(name, O_RDONLY);
    if (fd < 0) {
        atomic_store(&g_failed, 1);
        return;
    }
    while (read(fd, buffer, kBlock) > 0) {
    }
    close(fd);
}

static void WriteZeros(const char* name, long long size, const char* zeros)
{
    const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || fallocate(fd, 0, 0, size) != 0) {
        atomic_store(&g_failed, 1);
    }
    for (long long left = size; fd >= 0 && left > 0;) {
        const long long n = left < kBlock ? left : kBlock;
        if (write(fd, zeros, (size_t)n) != n) {
            atomic_store(&g_failed, 1);
            break;
        }
        left -= n;
    }
    if (fd >= 0) {
        close(fd);
    }
}

static void* Work(void* unused)
{
    (void)unused;
    char* buffer = malloc(kBlock);
    char* zeros = calloc(1, kBlock);
    for (int i = atomic_fetch_add(&g_next, 1); i < g_count; i = atomic_fetch_add(&g_next, 1)) {
        char line[8192];
        snprintf(line, sizeof line, "%s", g_lines[i]);
        char* rest = line;
        const char* input = strsep(&rest, "\t");
        const long long size = atoll(strsep(&rest, "\t"));
        ReadWhole(input, buffer);
        for (const char* output; (output = strsep(&rest, "\t\n")) != NULL && *output != '\0';) {
            WriteZeros(output, size, zeros);
        }
    }
    free(buffer);
    free(zeros);
    return NULL;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tree_floor <threads> <manifest>\n");
        return 2;
    }
    FILE* manifest = fopen(argv[2], "r");
    char line[8192];
    while (manifest != NULL && g_count < kMostLines && fgets(line, sizeof line, manifest) != NULL) {
        g_lines[g_count++] = strdup(line);
    }
    const int threads = atoi(argv[1]);
    pthread_t workers[256];
    for (int t = 0; t < threads && t < 256; ++t) {
        pthread_create(&workers[t], NULL, Work, NULL);
    }
    for (int t = 0; t < threads && t < 256; ++t) {
        pthread_join(workers[t], NULL);
    }
    return atomic_load(&g_failed);
}
