/* A texture's file, its palette beside it, its pixels: see texture_file.h. */
#define _DEFAULT_SOURCE /* d_type */
#define _POSIX_C_SOURCE 200809L
#include "texture_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kestrune.h>

/* Enough of a file for any header the library reads from a prefix. */
#define KD_PREFIX_SIZE 65536

static int fail(char *message, size_t message_size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (message_size > 0) {
        vsnprintf(message, message_size, format, arguments);
    }
    va_end(arguments);
    return -1;
}

uint64_t kd_bytes_needed(const void *prefix, size_t prefix_size, uint64_t file_size)
{
    kestrune_facts facts;
    facts.size = sizeof facts;
    if (kestrune_read_facts_prefix(prefix, prefix_size, file_size, &facts) != KESTRUNE_OK) {
        return file_size;
    }
    const uint64_t end = facts.texel_offset + facts.texel_length;
    return end >= facts.texel_offset && end < file_size ? end : file_size;
}

/* Reads `size` bytes at `offset`, fewer only where the file ends first. */
static ssize_t read_at(int fd, unsigned char *bytes, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, bytes + done, size - done, offset + (off_t)done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += (size_t)got;
    }
    return (ssize_t)done;
}

/* The file open as `fd` read whole or as far as its texture needs. */
static int read_open(int fd, const char *name, int whole, unsigned char **bytes, size_t *size, char *message,
                     size_t message_size)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return fail(message, message_size, "%s is not a file that can be read", name);
    }
    uint64_t length = (uint64_t)status.st_size;
    unsigned char prefix[KD_PREFIX_SIZE];
    if (!whole) {
        const ssize_t got = read_at(fd, prefix, length < sizeof prefix ? (size_t)length : sizeof prefix, 0);
        if (got < 0) {
            return fail(message, message_size, "cannot read %s: %s", name, strerror(errno));
        }
        length = kd_bytes_needed(prefix, (size_t)got, length);
    }
    if (length > SIZE_MAX) {
        return fail(message, message_size, "%s is too large to read", name);
    }
    unsigned char *buffer = malloc(length > 0 ? (size_t)length : 1);
    if (buffer == NULL) {
        return fail(message, message_size, "%s is too large to read", name);
    }
    const ssize_t got = read_at(fd, buffer, (size_t)length, 0);
    if (got < 0) {
        free(buffer);
        return fail(message, message_size, "cannot read %s: %s", name, strerror(errno));
    }
    *bytes = buffer;
    *size = (size_t)got;
    return 0;
}

int kd_read_texture(const char *path, unsigned char **bytes, size_t *size, char *message, size_t message_size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return fail(message, message_size, "cannot open %s: %s", path, strerror(errno));
    }
    const int result = read_open(fd, path, 0, bytes, size, message, message_size);
    close(fd);
    return result;
}

/* The name a palette of `texture` is looked for by: its name without a
   final ".brtex" in any case, and ".brplt". */
static void palette_name(const char *texture, char *name, size_t name_size)
{
    size_t stem = strlen(texture);
    if (stem >= 6 && strcasecmp(texture + stem - 6, ".brtex") == 0) {
        stem -= 6;
    }
    snprintf(name, name_size, "%.*s.brplt", (int)stem, texture);
}

/* The palette beside the texture at `path`, by the batch's rule, read
   whole into `bytes`, which stays NULL where there is none. 0, or -1 on a
   failure. */
static int read_palette_beside(const char *path, unsigned char **bytes, size_t *size, char *message, size_t message_size)
{
    const char *slash = strrchr(path, '/');
    const char *texture = slash != NULL ? slash + 1 : path;
    char *folder = slash == path ? strdup("/") : slash != NULL ? strndup(path, (size_t)(slash - path)) : strdup(".");
    const int folder_fd = folder != NULL ? open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    free(folder);
    DIR *listing = folder_fd >= 0 ? fdopendir(folder_fd) : NULL;
    if (listing == NULL) {
        if (folder_fd >= 0) {
            close(folder_fd);
        }
        return 0; /* a folder that cannot be listed shows no palette */
    }
    char **names = NULL;
    size_t count = 0;
    size_t capacity = 0;
    int result = 0;
    for (const struct dirent *entry; (entry = readdir(listing)) != NULL;) {
        if (entry->d_type == DT_DIR) {
            continue;
        }
        if (count == capacity) {
            capacity = capacity > 0 ? capacity * 2 : 64;
            char **grown = realloc(names, capacity * sizeof *names);
            if (grown == NULL) {
                result = fail(message, message_size, "the folder of %s is too large to list", path);
                break;
            }
            names = grown;
        }
        if ((names[count] = strdup(entry->d_name)) == NULL) {
            result = fail(message, message_size, "the folder of %s is too large to list", path);
            break;
        }
        ++count;
    }
    const long index = result == 0 ? kestrune_palette_beside(texture, (const char *const *)names, count) : -1;
    if (index >= 0) {
        const int fd = openat(dirfd(listing), names[index], O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            result = fail(message, message_size, "cannot open the palette %s: %s", names[index], strerror(errno));
        } else {
            result = read_open(fd, names[index], 1, bytes, size, message, message_size);
            close(fd);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        free(names[i]);
    }
    free(names);
    closedir(listing);
    return result;
}

int kd_decode(const unsigned char *bytes, size_t size, const char *path, enum kd_without_palette without, kd_image *image,
              char *message, size_t message_size)
{
    const char *name = path != NULL ? path : "the texture";
    kestrune_facts facts;
    facts.size = sizeof facts;
    int result = kestrune_read_facts(bytes, size, &facts);
    size_t rgba_size = 0;
    if (result == KESTRUNE_OK) {
        result = kestrune_rgba_size(&facts, &rgba_size);
    }
    if (result != KESTRUNE_OK) {
        return fail(message, message_size, "%s: %s", name, kestrune_result_text(result));
    }
    /* A texture cut short shows what it holds; one whose header claims far
       more texels than the file holds, or a format with no texels at all,
       is refused, so that a few bytes can never make gigabytes of pixels
       in a viewer or a thumbnailer. */
    if (facts.width == 0 || facts.height == 0) {
        return fail(message, message_size, "%s has no pixels (%ux%u)", name, (unsigned)facts.width, (unsigned)facts.height);
    }
    if (kestrune_format_name(facts.format) == NULL) {
        return fail(message, message_size, "%s: its format code %u is no texel format", name, (unsigned)facts.format);
    }
    if (facts.missing > facts.texel_length - facts.missing) {
        return fail(message, message_size, "%s: most of its texel data is missing (%llu of %llu bytes)", name,
                    (unsigned long long)facts.missing, (unsigned long long)facts.texel_length);
    }
    unsigned char *palette = NULL;
    size_t palette_size = 0;
    if (facts.needs_palette && path != NULL &&
        read_palette_beside(path, &palette, &palette_size, message, message_size) < 0) {
        return -1;
    }
    if (facts.needs_palette && palette == NULL && without == KD_FAIL) {
        const char *slash = strrchr(name, '/');
        char wanted[4096];
        palette_name(slash != NULL ? slash + 1 : name, wanted, sizeof wanted);
        return fail(message, message_size, "%s is indexed (%s) and needs its palette, %s, beside it", name,
                    kestrune_format_name(facts.format), wanted);
    }
    unsigned char *rgba = malloc(rgba_size);
    if (rgba == NULL) {
        free(palette);
        return fail(message, message_size, "%s: %s", name, kestrune_result_text(KESTRUNE_TOO_LARGE));
    }
    const size_t stride = (size_t)facts.width * 4;
    const int grey = facts.needs_palette && palette == NULL;
    result = grey
                 ? kestrune_decode_rgba_grey(bytes, size, rgba, rgba_size, stride)
                 : kestrune_decode_rgba(bytes, size, palette, palette_size, rgba, rgba_size, stride);
    free(palette);
    if (result != KESTRUNE_OK) {
        free(rgba);
        return fail(message, message_size, "%s: %s", name, kestrune_result_text(result));
    }
    image->width = facts.width;
    image->height = facts.height;
    image->rgba = rgba;
    image->grey = grey;
    return 0;
}
