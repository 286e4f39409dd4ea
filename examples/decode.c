/*
 * Decodes a texture, and its palette where it needs one, with libkestrune
 * into a PAM image (RGB_ALPHA) on standard output.
 *
 *     cc decode.c $(pkg-config --cflags --libs kestrune) -o decode
 *     ./decode wood.brtex [wood.brplt] > wood.pam
 */
#include <stdio.h>
#include <stdlib.h>

#include <kestrune.h>

/* A whole file in memory, or NULL. */
static unsigned char *read_file(const char *name, size_t *size)
{
    FILE *file = fopen(name, "rb");
    unsigned char *bytes = NULL;
    long length = -1;
    if (file != NULL && fseek(file, 0, SEEK_END) == 0 && (length = ftell(file)) >= 0 && fseek(file, 0, SEEK_SET) == 0) {
        bytes = malloc(length > 0 ? (size_t)length : 1);
        if (bytes != NULL && fread(bytes, 1, (size_t)length, file) != (size_t)length) {
            free(bytes);
            bytes = NULL;
        }
    }
    if (file != NULL) {
        fclose(file);
    }
    *size = (size_t)length;
    return bytes;
}

int main(int argc, char **argv)
{
    size_t texture_size = 0, palette_size = 0, rgba_size = 0;
    unsigned char *texture, *palette = NULL, *rgba;
    kestrune_facts facts;
    int result;
    if (argc < 2) {
        fprintf(stderr, "usage: %s TEXTURE [PALETTE] > IMAGE.pam (libkestrune %s)\n", argv[0], kestrune_version());
        return 2;
    }
    texture = read_file(argv[1], &texture_size);
    if (argc > 2) {
        palette = read_file(argv[2], &palette_size);
    }
    if (texture == NULL || (argc > 2 && palette == NULL)) {
        fprintf(stderr, "%s: cannot read %s\n", argv[0], texture == NULL ? argv[1] : argv[2]);
        return 1;
    }
    result = kestrune_read_facts(texture, texture_size, &facts);
    if (result == KESTRUNE_OK) {
        result = kestrune_rgba_size(&facts, &rgba_size);
    }
    rgba = result == KESTRUNE_OK ? malloc(rgba_size > 0 ? rgba_size : 1) : NULL;
    if (result == KESTRUNE_OK && rgba != NULL) {
        result = kestrune_decode_rgba(texture, texture_size, palette, palette_size, rgba, rgba_size, 4 * (size_t)facts.width);
    }
    if (result != KESTRUNE_OK || rgba == NULL) {
        fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], rgba == NULL && result == KESTRUNE_OK ? "out of memory"
                                                                                                 : kestrune_result_text(result));
        return 1;
    }
    printf("P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", (unsigned)facts.width,
           (unsigned)facts.height);
    fwrite(rgba, 1, rgba_size, stdout);
    free(rgba);
    free(palette);
    free(texture);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
