/*
 * kestrune-thumbnailer -s SIZE INPUT OUTPUT: a PNG thumbnail of a texture,
 * no larger than SIZE on its longer side, for the file managers'
 * thumbnailer entries. An indexed texture takes the palette beside it
 * where the thumbnailer can see its folder, else its indexes show as grey.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "texture_file.h"

static void free_pixels(guchar *pixels, gpointer data)
{
    (void)data;
    free(pixels);
}

/* The thumbnail's size: the image's, scaled down to `size` on the longer
   side, no side below one pixel. */
static void fit(int width, int height, int size, int *out_width, int *out_height)
{
    *out_width = width;
    *out_height = height;
    if (width > size || height > size) {
        const int longer = width > height ? width : height;
        *out_width = (int)(((long long)width * size + longer / 2) / longer);
        *out_height = (int)(((long long)height * size + longer / 2) / longer);
        *out_width = *out_width > 0 ? *out_width : 1;
        *out_height = *out_height > 0 ? *out_height : 1;
    }
}

static int thumbnail(int size, const char *input, const char *output)
{
    unsigned char *bytes = NULL;
    size_t length = 0;
    kd_image image;
    char message[4608];
    if (kd_read_texture(input, &bytes, &length, message, sizeof message) != 0 ||
        kd_decode(bytes, length, input, KD_GREY, &image, message, sizeof message) != 0) {
        free(bytes);
        fprintf(stderr, "kestrune-thumbnailer: %s\n", message);
        return 1;
    }
    free(bytes);
    GdkPixbuf *pixbuf = gdk_pixbuf_new_from_data(image.rgba, GDK_COLORSPACE_RGB, TRUE, 8, (int)image.width,
                                                 (int)image.height, (int)image.width * 4, free_pixels, NULL);
    int width = 0;
    int height = 0;
    fit((int)image.width, (int)image.height, size, &width, &height);
    /* Bilinear reduction integrates over each thumbnail pixel's area: an
       average, with the colours weighted by their alpha. */
    GdkPixbuf *scaled = pixbuf != NULL ? gdk_pixbuf_scale_simple(pixbuf, width, height, GDK_INTERP_BILINEAR) : NULL;
    GError *error = NULL;
    const gboolean saved = scaled != NULL && gdk_pixbuf_save(scaled, output, "png", &error, NULL);
    if (!saved) {
        fprintf(stderr, "kestrune-thumbnailer: cannot write %s: %s\n", output,
                error != NULL ? error->message : "no memory for the thumbnail");
        g_clear_error(&error);
    }
    if (scaled != NULL) {
        g_object_unref(scaled);
    }
    if (pixbuf != NULL) {
        g_object_unref(pixbuf);
    } else {
        free(image.rgba);
    }
    return saved ? 0 : 1;
}

int main(int argc, char **argv)
{
    char *end = NULL;
    const long size = argc == 5 && strcmp(argv[1], "-s") == 0 ? strtol(argv[2], &end, 10) : 0;
    if (end == NULL || *end != '\0' || size < 1 || size > 4096) {
        fprintf(stderr, "usage: kestrune-thumbnailer -s SIZE INPUT OUTPUT (SIZE from 1 to 4096)\n");
        return 2;
    }
    return thumbnail((int)size, argv[3], argv[4]);
}
