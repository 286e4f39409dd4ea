/*
 * libkestrune: BRTEX textures (with BRPLT palettes for the indexed formats)
 * decoded into RGBA, from memory the caller owns into a buffer the caller
 * gives. The library opens no file and keeps no state: any number of
 * threads may call it at once.
 *
 * A texture is decoded in three steps:
 *
 *     kestrune_facts facts;
 *     size_t size;
 *     if (kestrune_read_facts(texture, texture_size, &facts) == KESTRUNE_OK &&
 *         kestrune_rgba_size(&facts, &size) == KESTRUNE_OK) {
 *         unsigned char *rgba = malloc(size);
 *         int result = kestrune_decode_rgba(texture, texture_size, palette, palette_size,
 *                                           rgba, size, 4 * (size_t)facts.width);
 *         ...
 *     }
 *
 * Every function returns KESTRUNE_OK (0) or a named failure, which
 * kestrune_result_text() puts in words. The pixels are those the kestrune
 * tool writes, exactly: R, G, B, A bytes, rows top first.
 */
#ifndef KESTRUNE_H
#define KESTRUNE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(KESTRUNE_SHARED)
#if defined(KESTRUNE_BUILDING)
#define KESTRUNE_API __declspec(dllexport)
#else
#define KESTRUNE_API __declspec(dllimport)
#endif
#elif defined(KESTRUNE_BUILDING) && !defined(_WIN32)
#define KESTRUNE_API __attribute__((visibility("default")))
#else
#define KESTRUNE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define KESTRUNE_OK 0
#define KESTRUNE_NOT_BRTEX 1        /* the texture's bytes hold no TEX0 section */
#define KESTRUNE_NOT_BRPLT 2        /* the palette's bytes hold no PLT0 section */
#define KESTRUNE_NO_PALETTE 3       /* an indexed texture and no palette given */
#define KESTRUNE_TOO_LARGE 4        /* its RGBA pixels cannot be held in a size_t */
#define KESTRUNE_BUFFER_TOO_SMALL 5 /* the caller's buffer cannot hold them */
#define KESTRUNE_BAD_ARGUMENT 6     /* a null pointer where bytes are needed, a stride too small */
#define KESTRUNE_SHORT_PREFIX 7     /* a prefix that ends inside the header of a longer file */
#define KESTRUNE_CANNOT_ENCODE 8    /* the texture's format is none the library encodes */

/* Texel format codes. */
#define KESTRUNE_I4 0
#define KESTRUNE_I8 1
#define KESTRUNE_IA4 2
#define KESTRUNE_IA8 3
#define KESTRUNE_RGB565 4
#define KESTRUNE_RGB5A3 5
#define KESTRUNE_RGBA8 6
#define KESTRUNE_CI4 8
#define KESTRUNE_CI8 9
#define KESTRUNE_CMPR 14

/*
 * What a texture's header says, read without decoding. `size` is the size
 * of the record as this library fills it, so that it can grow: fields are
 * only ever added at its end.
 */
typedef struct kestrune_facts {
    uint32_t size;          /* sizeof(kestrune_facts) in the library that filled it */
    uint32_t width;         /* 0 to 65535 */
    uint32_t height;        /* 0 to 65535 */
    uint32_t format;        /* a format code; others decode as all black, clear */
    int needs_palette;      /* 1 for CI4 and CI8, else 0 */
    int header_cut;         /* 1 where the file ends inside the header */
    uint64_t missing;       /* bytes the texel data is short of: they decode as 0 */
    uint64_t texel_offset;  /* where the texel data starts in the file */
    uint64_t texel_length;  /* how long it is, whole (the file may end first) */
} kestrune_facts;

/* The facts of a texture from its whole file. */
KESTRUNE_API int kestrune_read_facts(const void *texture, size_t texture_size, kestrune_facts *facts);

/*
 * The same from the first `prefix_size` bytes of a file of `file_size`
 * bytes in all, for a reader fed in pieces. KESTRUNE_NOT_BRTEX where the
 * prefix holds no section, which a longer prefix may.
 */
KESTRUNE_API int kestrune_read_facts_prefix(const void *prefix, size_t prefix_size, uint64_t file_size,
                                            kestrune_facts *facts);

/* The bytes of its RGBA pixels rows 4 x width apart: KESTRUNE_TOO_LARGE where a size_t cannot hold them. */
KESTRUNE_API int kestrune_rgba_size(const kestrune_facts *facts, size_t *size);

/*
 * Decodes a texture into `rgba`, `rgba_size` bytes, rows `stride` bytes
 * apart (a multiple of 4, at least 4 x width); the palette, where one is
 * needed, from its BRPLT file's bytes, else `palette` may be NULL with size
 * 0. Nothing is written past the last row's last pixel, nor between rows.
 */
KESTRUNE_API int kestrune_decode_rgba(const void *texture, size_t texture_size, const void *palette, size_t palette_size,
                                      unsigned char *rgba, size_t rgba_size, size_t stride);

/*
 * The same with a grey stand-in for the palette of an indexed texture:
 * index i as grey i, for CI4 as grey 17 x i, alpha 255. For a preview where
 * the palette cannot be found.
 */
KESTRUNE_API int kestrune_decode_rgba_grey(const void *texture, size_t texture_size, unsigned char *rgba, size_t rgba_size,
                                           size_t stride);

/*
 * Encodes RGBA pixels, the texture's width x height, rows `stride` bytes
 * apart, in the format of the texture `texture` (a file's bytes, the
 * template) into `texels`, `texels_size` bytes of which facts.texel_length
 * are written: the texel data that takes the template's place at
 * facts.texel_offset. A texel of the template that decodes to the pixel
 * wanted keeps its bytes; any other pixel takes the nearest value the
 * format holds (an indexed format: the nearest entry of its palette, whose
 * bytes are given as for a decode). `inexact`, where not NULL, receives the
 * count of pixels the format could not hold exactly.
 */
KESTRUNE_API int kestrune_encode_rgba(const void *texture, size_t texture_size, const void *palette, size_t palette_size,
                                      const unsigned char *rgba, size_t rgba_size, size_t stride, unsigned char *texels,
                                      size_t texels_size, uint64_t *inexact);

/* Whether bytes hold a palette: KESTRUNE_OK or KESTRUNE_NOT_BRPLT. */
KESTRUNE_API int kestrune_check_palette(const void *palette, size_t palette_size);

/*
 * The palette a texture named `texture_name` takes among the `count` names
 * of the files beside it: its stem (the name without a final ".brtex", in
 * any case) with ".brplt", spelt exactly so, else with ".brplt" in any
 * case, the first in byte order. Gives its index, or -1 for none.
 */
KESTRUNE_API long kestrune_palette_beside(const char *texture_name, const char *const *names, size_t count);

/*
 * The stem the tool names a texture's outputs by: the name without a final
 * ".brtex" in exactly those letters, any folder part kept. Writes it with
 * its terminating zero where `stem_size` allows, and gives its length.
 */
KESTRUNE_API size_t kestrune_output_stem(const char *texture_name, char *stem, size_t stem_size);

/* The name of a format code ("CMPR"), or NULL for a code that is none. */
KESTRUNE_API const char *kestrune_format_name(uint32_t format);

/* A result in words. */
KESTRUNE_API const char *kestrune_result_text(int result);

/* The library's version, "1.1.0". */
KESTRUNE_API const char *kestrune_version(void);

#ifdef __cplusplus
}
#endif

#endif
