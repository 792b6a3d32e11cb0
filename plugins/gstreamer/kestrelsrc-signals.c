/* kestrelsrc's action signals: PTZ and custom commands from the
 * application's thread, on the running element's instance. */
#include "gstkestrelsrc.h"

#include <kestrel/kestrel_c.h>

GST_DEBUG_CATEGORY_EXTERN(gst_kestrel_src_debug);
#define GST_CAT_DEFAULT gst_kestrel_src_debug

/* The target for a call from an application thread; FALSE while stopped. */
static gboolean target_for_call(GstKestrelSrc* src, GstKestrelTarget* t)
{
    g_mutex_lock(&src->lock);
    const gboolean started = src->started;
    if (started)
        gst_kestrel_target_copy(t, &src->target);
    g_mutex_unlock(&src->lock);
    return started;
}

void gst_kestrel_call_begin(GstKestrelSrc* src)
{
    g_mutex_lock(&src->lock);
    ++src->calls;
    g_mutex_unlock(&src->lock);
}

void gst_kestrel_call_end(GstKestrelSrc* src)
{
    g_mutex_lock(&src->lock);
    if (--src->calls == 0)
        g_cond_broadcast(&src->changed);
    g_mutex_unlock(&src->lock);
}

static gboolean ptz_preset(GstKestrelSrc* src, const gchar* name)
{
    GstKestrelTarget t = {0};
    int result = -1;
    gboolean ok = FALSE;
    if (target_for_call(src, &t)) {
        gst_kestrel_call_begin(src);
        ok = kestrel_MoveToPresetPosition(&result, t.instance_id, t.camera, name) == KESTREL_RETURNED && result >= 0;
        gst_kestrel_call_end(src);
        if (!ok)
            GST_WARNING_OBJECT(src, "MoveToPresetPosition(%s): %d %s", name, result, kestrel_last_error());
    }
    gst_kestrel_target_clear(&t);
    return ok;
}

static gboolean ptz_move(GstKestrelSrc* src, gdouble pan, gdouble tilt, gdouble zoom)
{
    GstKestrelTarget t = {0};
    int result = -1;
    gboolean ok = FALSE;
    if (target_for_call(src, &t)) {
        /* The move names the focus too: keep the one the head has. */
        double p, ti, z, focus = 0;
        gst_kestrel_call_begin(src);
        if (kestrel_PTZGetAbsoluteDoubles(&result, t.instance_id, "", t.password, t.camera, 0, &p, &ti, &z, &focus) !=
                KESTREL_RETURNED ||
            result < 0)
            focus = 0;
        ok = kestrel_PTZSetAbsoluteDoubles(t.instance_id, "", t.password, t.camera, 0, pan, tilt, zoom, focus) ==
             KESTREL_RETURNED;
        gst_kestrel_call_end(src);
        if (!ok)
            GST_WARNING_OBJECT(src, "PTZSetAbsoluteDoubles: %s", kestrel_last_error());
    }
    gst_kestrel_target_clear(&t);
    return ok;
}

static gint custom_command(GstKestrelSrc* src, const gchar* command)
{
    GstKestrelTarget t = {0};
    int result = G_MININT;
    if (target_for_call(src, &t)) {
        gst_kestrel_call_begin(src);
        if (kestrel_ExecuteCustomCommand(&result, t.instance_id, t.password, t.media_type, t.camera, t.stream_index,
                                         command) != KESTREL_RETURNED) {
            /* The streaming thread meets the loss too and deals with it. */
            GST_WARNING_OBJECT(src, "ExecuteCustomCommand(%s): %s", command, kestrel_last_error());
            result = G_MININT;
        }
        gst_kestrel_call_end(src);
    }
    gst_kestrel_target_clear(&t);
    return result;
}

void gst_kestrel_src_add_signals(GstKestrelSrcClass* klass)
{
    /* gboolean ptz-preset(name): MoveToPresetPosition. */
    g_signal_new_class_handler("ptz-preset", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION,
                               G_CALLBACK(ptz_preset), NULL, NULL, NULL, G_TYPE_BOOLEAN, 1, G_TYPE_STRING);
    /* gboolean ptz-move(pan, tilt, zoom): absolute, in degrees and zoom factor. */
    g_signal_new_class_handler("ptz-move", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION,
                               G_CALLBACK(ptz_move), NULL, NULL, NULL, G_TYPE_BOOLEAN, 3, G_TYPE_DOUBLE, G_TYPE_DOUBLE,
                               G_TYPE_DOUBLE);
    /* gint custom-command(command): the driver's result, G_MININT when the
     * call threw (the proxy server was lost) or the element is stopped. */
    g_signal_new_class_handler("custom-command", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION,
                               G_CALLBACK(custom_command), NULL, NULL, NULL, G_TYPE_INT, 1, G_TYPE_STRING);
}
