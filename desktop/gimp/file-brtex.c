/*
 * GIMP 2.10's loader of BRTEX textures: a texture opens as one RGBA layer.
 * An indexed texture takes the palette beside it; where there is none the
 * load fails and names the palette it looked for, as an editor must not
 * show wrong colours.
 */
#include <stdlib.h>

#include <libgimp/gimp.h>

#include "texture_file.h"

#define LOAD_PROCEDURE "file-brtex-load"

static void query(void)
{
    static const GimpParamDef arguments[] = {
        {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
        {GIMP_PDB_STRING, "filename", "The name of the file to load"},
        {GIMP_PDB_STRING, "raw-filename", "The name entered"},
    };
    static const GimpParamDef results[] = {{GIMP_PDB_IMAGE, "image", "The loaded image"}};
    gimp_install_procedure(LOAD_PROCEDURE, "Loads BRTEX textures",
                           "Opens a BRTEX texture as an RGBA layer; an indexed one takes the BRPLT palette beside it.",
                           "kestrune developers", "kestrune developers", "2026", "BRTEX texture", NULL, GIMP_PLUGIN,
                           G_N_ELEMENTS(arguments), G_N_ELEMENTS(results), arguments, results);
    gimp_register_file_handler_mime(LOAD_PROCEDURE, "image/x-brtex");
    gimp_register_magic_load_handler(LOAD_PROCEDURE, "brtex", "", "0,string,TEX0");
}

/* The texture at `path` as a new image; -1 with the cause in `message`. */
static gint32 load(const gchar *path, char *message, size_t message_size)
{
    unsigned char *bytes = NULL;
    size_t size = 0;
    kd_image image;
    if (kd_read_texture(path, &bytes, &size, message, message_size) != 0 ||
        kd_decode(bytes, size, path, KD_FAIL, &image, message, message_size) != 0) {
        free(bytes);
        return -1;
    }
    free(bytes);
    const gint32 result = gimp_image_new((gint)image.width, (gint)image.height, GIMP_RGB);
    if (result < 0) {
        free(image.rgba);
        g_snprintf(message, message_size, "%s is %ux%u, larger than GIMP takes", path, image.width, image.height);
        return -1;
    }
    gimp_image_set_filename(result, path);
    const gint32 layer = gimp_layer_new(result, "Texture", (gint)image.width, (gint)image.height, GIMP_RGBA_IMAGE, 100,
                                        gimp_image_get_default_new_layer_mode(result));
    gimp_image_insert_layer(result, layer, -1, 0);
    GeglBuffer *buffer = gimp_drawable_get_buffer(layer);
    gegl_buffer_set(buffer, GEGL_RECTANGLE(0, 0, (gint)image.width, (gint)image.height), 0, babl_format("R'G'B'A u8"),
                    image.rgba, GEGL_AUTO_ROWSTRIDE);
    g_object_unref(buffer);
    free(image.rgba);
    return result;
}

static void run(const gchar *name, gint argument_count, const GimpParam *arguments, gint *result_count,
                GimpParam **results)
{
    static GimpParam values[2];
    static char message[4608];
    *results = values;
    *result_count = 1;
    values[0].type = GIMP_PDB_STATUS;
    values[0].data.d_status = GIMP_PDB_CALLING_ERROR;
    if (g_strcmp0(name, LOAD_PROCEDURE) != 0 || argument_count < 3) {
        return;
    }
    gegl_init(NULL, NULL);
    const gint32 image = load(arguments[1].data.d_string, message, sizeof message);
    if (image < 0) {
        values[0].data.d_status = GIMP_PDB_EXECUTION_ERROR;
        values[1].type = GIMP_PDB_STRING;
        values[1].data.d_string = message;
        *result_count = 2;
        return;
    }
    values[0].data.d_status = GIMP_PDB_SUCCESS;
    values[1].type = GIMP_PDB_IMAGE;
    values[1].data.d_image = image;
    *result_count = 2;
}

const GimpPlugInInfo PLUG_IN_INFO = {NULL, NULL, query, run};

MAIN()
