/*
 * The gdk-pixbuf loader of BRTEX textures, for GTK viewers and GNOME's
 * thumbnails. It is fed bytes, never a file name, so an indexed texture
 * shows its indexes as opaque grey: there is no palette to take.
 */
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <stdlib.h>

#include "texture_file.h"

typedef struct {
    GdkPixbufModuleSizeFunc size_func;
    GdkPixbufModulePreparedFunc prepared_func;
    GdkPixbufModuleUpdatedFunc updated_func;
    gpointer user_data;
    GByteArray *bytes;
} Context;

static void free_pixels(guchar *pixels, gpointer data)
{
    (void)data;
    free(pixels);
}

static gpointer begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                           GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError **error)
{
    (void)error;
    Context *context = g_new0(Context, 1);
    context->size_func = size_func;
    context->prepared_func = prepared_func;
    context->updated_func = updated_func;
    context->user_data = user_data;
    context->bytes = g_byte_array_new();
    return context;
}

static gboolean load_increment(gpointer data, const guchar *buffer, guint size, GError **error)
{
    Context *context = data;
    if (size > G_MAXUINT - context->bytes->len) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "the texture is too large to load");
        return FALSE;
    }
    g_byte_array_append(context->bytes, buffer, size);
    return TRUE;
}

/* The texture whole: its pixels, and the callbacks told of them. */
static gboolean stop_load(gpointer data, GError **error)
{
    Context *context = data;
    kd_image image;
    char message[512];
    const int decoded = kd_decode(context->bytes->data, context->bytes->len, NULL, KD_GREY, &image, message, sizeof message);
    g_byte_array_unref(context->bytes);
    const GdkPixbufModuleSizeFunc size_func = context->size_func;
    const GdkPixbufModulePreparedFunc prepared_func = context->prepared_func;
    const GdkPixbufModuleUpdatedFunc updated_func = context->updated_func;
    const gpointer user_data = context->user_data;
    g_free(context);
    if (decoded != 0) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "%s", message);
        return FALSE;
    }
    gint width = (gint)image.width;
    gint height = (gint)image.height;
    if (size_func != NULL) {
        size_func(&width, &height, user_data);
        if (width == 0 || height == 0) { /* the caller wants its size alone */
            free(image.rgba);
            return TRUE;
        }
    }
    GdkPixbuf *pixbuf = gdk_pixbuf_new_from_data(image.rgba, GDK_COLORSPACE_RGB, TRUE, 8, (int)image.width,
                                                 (int)image.height, (int)image.width * 4, free_pixels, NULL);
    if (pixbuf == NULL) {
        free(image.rgba);
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "no memory for the texture's pixels");
        return FALSE;
    }
    if (image.grey) {
        gdk_pixbuf_set_option(pixbuf, "kestrune::indexes-as-grey", "true");
    }
    if (prepared_func != NULL) {
        prepared_func(pixbuf, NULL, user_data);
    }
    if (updated_func != NULL) {
        updated_func(pixbuf, 0, 0, (int)image.width, (int)image.height, user_data);
    }
    g_object_unref(pixbuf);
    return TRUE;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule *module);
G_MODULE_EXPORT void fill_info(GdkPixbufFormat *info);

void fill_vtable(GdkPixbufModule *module)
{
    module->begin_load = begin_load;
    module->load_increment = load_increment;
    module->stop_load = stop_load;
}

void fill_info(GdkPixbufFormat *info)
{
    static GdkPixbufModulePattern signature[] = {{"TEX0", NULL, 100}, {NULL, NULL, 0}};
    static gchar *mime_types[] = {"image/x-brtex", NULL};
    static gchar *extensions[] = {"brtex", NULL};
    info->name = "brtex";
    info->signature = signature;
    info->description = "BRTEX texture";
    info->mime_types = mime_types;
    info->extensions = extensions;
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = "MIT";
}
