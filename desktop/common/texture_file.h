/*
 * What the desktop plug-ins share: a texture read from its file, no more
 * of it than its texels need, its palette found beside it by the batch's
 * rule, and its pixels decoded by libkestrune. Plain C, no library but
 * libkestrune and the C library's, so that every host can take it.
 */
#ifndef KESTRUNE_TEXTURE_FILE_H
#define KESTRUNE_TEXTURE_FILE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What an indexed texture without a palette becomes. */
enum kd_without_palette {
    KD_FAIL = 0, /* a failure that names the palette looked for */
    KD_GREY = 1  /* its indexes as opaque grey (CI8 i as i, CI4 as 17 * i) */
};

typedef struct kd_image {
    uint32_t width;
    uint32_t height;
    unsigned char *rgba; /* width * height * 4 bytes, rows top first; free() it */
    int grey;            /* 1 where the indexes are shown as grey */
} kd_image;

/*
 * How many of a file's bytes its texture needs, from its first
 * `prefix_size` bytes and its size: at most up to the end of its texels.
 * Where the prefix cannot tell, the whole file.
 */
uint64_t kd_bytes_needed(const void *prefix, size_t prefix_size, uint64_t file_size);

/*
 * Reads the part of the file at `path` that its texture needs into a new
 * buffer (free() it). 0 on success; otherwise -1 with the cause in
 * `message`.
 */
int kd_read_texture(const char *path, unsigned char **bytes, size_t *size, char *message, size_t message_size);

/*
 * Decodes a texture's bytes into `image`. An indexed one takes the palette
 * beside `path` (NULL: where nothing is known of its file) as the batch
 * pairs them; where there is none, `without` says what it becomes. The
 * pixels' size is checked before they are allocated, and a texture with no
 * pixel, no texel format, or less than half its texel data is refused. 0 on success;
 * otherwise -1, the cause in `message` and nothing allocated.
 */
int kd_decode(const unsigned char *bytes, size_t size, const char *path, enum kd_without_palette without, kd_image *image,
              char *message, size_t message_size);

#ifdef __cplusplus
}
#endif

#endif
