/* The I/O floor of one conversion: the least any program pays that reads a
 * texture and writes BMP files, with nothing in between. It starts, reads
 * the input in 1 MiB blocks and writes each output, zero-filled, in 1 MiB
 * blocks, as one process, so that the converter's time can be set against
 * it run for run.
 *
 *   floor <input> <output size in bytes> <output>...
 */
#include <stdio.h>
#include <stdlib.h>

#define BLOCK (1 << 20)

static unsigned char input_block[BLOCK];
static unsigned char zero_block[BLOCK]; /* never written: reads map the zero page */

static int read_all(const char* name)
{
    FILE* file = fopen(name, "rb");
    if (file == NULL) {
        perror(name);
        return 0;
    }
    while (fread(input_block, 1, BLOCK, file) == BLOCK) {
    }
    const int ok = !ferror(file);
    fclose(file);
    return ok;
}

static int write_zeros(const char* name, unsigned long long size)
{
    FILE* file = fopen(name, "wb");
    if (file == NULL) {
        perror(name);
        return 0;
    }
    int ok = 1;
    while (size > 0 && ok) {
        const size_t n = size < BLOCK ? (size_t)size : BLOCK;
        ok = fwrite(zero_block, 1, n, file) == n;
        size -= n;
    }
    return fclose(file) == 0 && ok;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: floor <input> <output size in bytes> <output>...\n");
        return 2;
    }
    if (!read_all(argv[1])) {
        return 1;
    }
    const unsigned long long size = strtoull(argv[2], NULL, 10);
    for (int i = 3; i < argc; ++i) {
        if (!write_zeros(argv[i], size)) {
            return 1;
        }
    }
    return 0;
}
