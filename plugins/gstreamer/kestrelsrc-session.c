/* The life of kestrelsrc's instance on the C interface: add, open, read
 * blocks, close, remove; and the frame header of a JPEG. */
#include "gstkestrelsrc.h"

#include <kestrel/kestrel_c.h>

#include <math.h>

GST_DEBUG_CATEGORY_EXTERN(gst_kestrel_src_debug);
#define GST_CAT_DEFAULT gst_kestrel_src_debug

void gst_kestrel_target_clear(GstKestrelTarget* t)
{
    g_clear_pointer(&t->driver, g_free);
    g_clear_pointer(&t->instance_id, g_free);
    g_clear_pointer(&t->proxy_server, g_free);
    g_clear_pointer(&t->password, g_free);
}

void gst_kestrel_target_copy(GstKestrelTarget* to, const GstKestrelTarget* from)
{
    gst_kestrel_target_clear(to);
    *to = *from;
    to->driver = g_strdup(from->driver);
    to->instance_id = g_strdup(from->instance_id);
    to->proxy_server = g_strdup(from->proxy_server);
    to->password = g_strdup(from->password);
}

/* Asks the driver for the offered rate closest to the request and sets it.
 * A driver without controlled frame rates keeps its own: not an error. */
static void request_framerate(const GstKestrelTarget* t)
{
    int result = -1, count = 0;
    double *values = NULL, *internals = NULL;
    if (kestrel_QueryDeviceControlledFramerates(&result, t->instance_id, t->password, t->camera, &count, &values,
                                                &internals) != KESTREL_RETURNED ||
        result < 0 || count <= 0 || values == NULL || internals == NULL) {
        GST_INFO("%s offers no frame rates (%d): keeping the driver's", t->instance_id, result);
    } else {
        int best = 0;
        for (int i = 1; i < count; ++i) {
            if (fabs(values[i] - t->framerate) < fabs(values[best] - t->framerate))
                best = i;
        }
        if (kestrel_SetDeviceControlledFramerate(&result, t->instance_id, t->password, t->camera, internals[best]) !=
                KESTREL_RETURNED ||
            result < 0)
            GST_WARNING("%s: SetDeviceControlledFramerate(%g) answered %d: %s", t->instance_id, values[best], result,
                        kestrel_last_error());
    }
    kestrel_DeleteBuffer((unsigned char*)values);
    kestrel_DeleteBuffer((unsigned char*)internals);
}

gboolean gst_kestrel_add_and_open(const GstKestrelTarget* t, GString* why)
{
    int added = 0, result = -1;
    if (kestrel_AddDeviceInstance(&added, t->instance_id, t->driver, t->proxy_server) != KESTREL_RETURNED || !added) {
        g_string_printf(why, "%s", kestrel_last_error());
        return FALSE;
    }
    if (t->framerate > 0)
        request_framerate(t);
    kestrel_status status;
    const char* call;
    if (t->stream == GST_KESTREL_STREAM_VIDEO) {
        call = "OpenStreamConnection";
        status = kestrel_OpenStreamConnection(&result, t->instance_id, t->password, 0, t->camera);
    } else {
        call = "OpenMediaStream";
        status = kestrel_OpenMediaStream(&result, t->instance_id, t->password, t->media_type, t->camera,
                                         t->stream_index, "");
    }
    if (status == KESTREL_RETURNED && result >= 0)
        return TRUE;
    if (status == KESTREL_RETURNED)
        g_string_printf(why, "%s(\"%s\", camera %d) answered %d", call, t->instance_id, t->camera, result);
    else
        g_string_printf(why, "%s", kestrel_last_error());
    kestrel_RemoveDeviceInstance(t->instance_id);
    return FALSE;
}

void gst_kestrel_close_and_remove(const GstKestrelTarget* t)
{
    /* A lost instance throws here; that is as closed as it gets. */
    if (t->stream == GST_KESTREL_STREAM_VIDEO)
        kestrel_CloseConnection2(t->instance_id, t->camera);
    else
        kestrel_CloseMediaStream(t->instance_id, t->media_type, t->camera, t->stream_index);
    kestrel_RemoveDeviceInstance(t->instance_id);
}

gboolean gst_kestrel_query_framerate(const GstKestrelTarget* t, gint* fps_n, gint* fps_d)
{
    int result = -1;
    double fps = 0, internal = 0;
    if (kestrel_GetDeviceControlledFramerate(&result, t->instance_id, t->password, t->camera, &fps, &internal) !=
            KESTREL_RETURNED ||
        result < 0 || !(fps > 0 && fps <= 1000))
        return FALSE;
    gst_util_double_to_fraction(fps, fps_n, fps_d);
    return TRUE;
}

gint gst_kestrel_fetch(const GstKestrelTarget* t, unsigned char** block, size_t* length, GString* why)
{
    int result = 0;
    kestrel_status status;
    *block = NULL;
    if (t->stream == GST_KESTREL_STREAM_VIDEO)
        status = kestrel_GetVideoDataBlock(&result, t->instance_id, t->camera, block);
    else
        status = kestrel_GetMediaDataBlock(&result, t->instance_id, t->media_type, t->camera, t->stream_index, block);
    if (status != KESTREL_RETURNED) {
        g_string_printf(why, "%s", kestrel_last_error());
        return -1;
    }
    if (result > 0 && *block != NULL) {
        *length = (size_t)result;
        return 1;
    }
    gst_kestrel_release(*block);
    *block = NULL;
    if (result == 0)
        return 0;
    g_string_printf(why, "%s(\"%s\", camera %d) answered %d",
                    t->stream == GST_KESTREL_STREAM_VIDEO ? "GetVideoDataBlock" : "GetMediaDataBlock", t->instance_id,
                    t->camera, result);
    return -2;
}

void gst_kestrel_release(unsigned char* block)
{
    if (block != NULL)
        kestrel_DeleteBuffer(block);
}

gboolean gst_kestrel_jpeg_size(const guint8* data, gsize size, gint* width, gint* height)
{
    gsize i = 2;
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return FALSE;
    while (i + 4 <= size) {
        if (data[i] != 0xFF)
            return FALSE;
        const guint8 marker = data[i + 1];
        if (marker == 0xFF) { /* fill byte */
            ++i;
            continue;
        }
        const gsize length = ((gsize)data[i + 2] << 8) | data[i + 3];
        /* SOF0..SOF15 carry the size; C4 (DHT), C8 and CC (DAC) are not frames. */
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (length < 7 || i + 9 > size)
                return FALSE;
            *height = (data[i + 5] << 8) | data[i + 6];
            *width = (data[i + 7] << 8) | data[i + 8];
            return *width > 0 && *height > 0;
        }
        if (marker == 0xDA || marker == 0xD9) /* scan data or the end, and no frame header */
            return FALSE;
        i += 2 + length;
    }
    return FALSE;
}
