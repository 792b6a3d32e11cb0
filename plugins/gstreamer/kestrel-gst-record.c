/*
 * kestrel-gst-record OUT.mkv SECONDS CRASH_AT: records a camera through
 * kestrelsrc ! queue ! matroskamux ! filesink for SECONDS, and at CRASH_AT
 * seconds asks the driver to crash (the element's custom-command signal).
 * The element warns, adds the camera again and goes on; the recording has a
 * gap, flagged DISCONT, and ends as a whole file. `kestrel demo` runs it.
 * The camera: KESTREL_RECORD_DRIVER (default: the element's own default).
 */
#include <gst/gst.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    GMainLoop* loop;
    GstElement* pipeline;
    GstElement* camera;
    gint frames, gaps;
    GstClockTime last_pts, gap;
    gboolean failed;
} Recording;

static GstPadProbeReturn on_frame(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    Recording* r = data;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    (void)pad;
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT) && r->frames > 0) {
        g_atomic_int_inc(&r->gaps);
        r->gap = GST_BUFFER_PTS(buffer) - r->last_pts;
    }
    r->last_pts = GST_BUFFER_PTS(buffer);
    g_atomic_int_inc(&r->frames);
    return GST_PAD_PROBE_OK;
}

static gboolean crash(gpointer data)
{
    Recording* r = data;
    gint result = 0;
    printf("   after %d frames: custom-command \"crash\" -> ", g_atomic_int_get(&r->frames));
    g_signal_emit_by_name(r->camera, "custom-command", "crash", &result);
    printf(result == G_MININT ? "threw (the driver crashed with its proxy server)\n" : "%d\n", result);
    fflush(stdout);
    return G_SOURCE_REMOVE;
}

static gboolean stop(gpointer data)
{
    Recording* r = data;
    gst_element_send_event(r->pipeline, gst_event_new_eos());
    return G_SOURCE_REMOVE;
}

static gboolean on_message(GstBus* bus, GstMessage* message, gpointer data)
{
    Recording* r = data;
    GError* error = NULL;
    gchar* debug = NULL;
    (void)bus;
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_WARNING:
            gst_message_parse_warning(message, &error, &debug);
            /* The debug text's last line says why, after where it was posted. */
            printf("   warning from %s: %s\n     %s\n", GST_OBJECT_NAME(message->src), error->message,
                   debug && strrchr(debug, '\n') ? strrchr(debug, '\n') + 1
                   : debug                       ? debug
                                                 : "");
            break;
        case GST_MESSAGE_ERROR:
            gst_message_parse_error(message, &error, &debug);
            fprintf(stderr, "kestrel-gst-record: error from %s: %s (%s)\n", GST_OBJECT_NAME(message->src),
                    error->message, debug);
            r->failed = TRUE;
            g_main_loop_quit(r->loop);
            break;
        case GST_MESSAGE_EOS:
            g_main_loop_quit(r->loop);
            break;
        default:
            break;
    }
    fflush(stdout);
    g_clear_error(&error);
    g_free(debug);
    return G_SOURCE_CONTINUE;
}

int main(int argc, char** argv)
{
    Recording r = {0};
    gst_init(&argc, &argv);
    if (argc != 4 || atof(argv[2]) <= 0 || atof(argv[3]) <= 0 || atof(argv[3]) >= atof(argv[2])) {
        fprintf(stderr, "usage: kestrel-gst-record OUT.mkv SECONDS CRASH_AT (0 < CRASH_AT < SECONDS)\n");
        return 1;
    }
    const gchar* driver = g_getenv("KESTREL_RECORD_DRIVER");
    gchar* description = g_strdup_printf(
        "kestrelsrc name=camera instance-id=rec-cam proxy-server=recorder%s%s ! queue ! matroskamux ! "
        "filesink location=\"%s\"",
        driver ? " driver=" : "", driver ? driver : "", argv[1]);
    GError* error = NULL;
    r.pipeline = gst_parse_launch(description, &error);
    if (r.pipeline == NULL) {
        fprintf(stderr, "kestrel-gst-record: %s: %s\n", description, error->message);
        return 2;
    }
    printf("   gst-launch-1.0 -e %s\n", description);
    g_free(description);
    r.loop = g_main_loop_new(NULL, FALSE);
    r.camera = gst_bin_get_by_name(GST_BIN(r.pipeline), "camera");
    GstPad* pad = gst_element_get_static_pad(r.camera, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, on_frame, &r, NULL);
    gst_object_unref(pad);
    GstBus* bus = gst_element_get_bus(r.pipeline);
    gst_bus_add_watch(bus, on_message, &r);
    g_timeout_add((guint)(atof(argv[3]) * 1000), crash, &r);
    g_timeout_add((guint)(atof(argv[2]) * 1000), stop, &r);
    if (gst_element_set_state(r.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        r.failed = TRUE;
    else
        g_main_loop_run(r.loop);
    gst_element_set_state(r.pipeline, GST_STATE_NULL);
    if (!r.failed)
        printf("   recorded %d frames with %d gap%s flagged DISCONT (%.0f ms without frames) -> %s\n", r.frames, r.gaps,
               r.gaps == 1 ? "" : "s", (double)r.gap / GST_MSECOND, argv[1]);
    gst_bus_remove_watch(bus);
    gst_object_unref(bus);
    gst_object_unref(r.camera);
    gst_object_unref(r.pipeline);
    g_main_loop_unref(r.loop);
    return r.failed ? 2 : 0;
}
