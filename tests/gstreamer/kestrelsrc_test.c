/*
 * kestrelsrc in a GstHarness, over the C interface's test variant (a hung
 * call ends after a short deadline) and the simulated camera, unpaced: caps
 * and timestamps from what arrives, a lost proxy server survived (warning,
 * re-add, DISCONT) or ending the stream, failed starts, PTZ and events.
 */
#define _XOPEN_SOURCE 700
#include "gstkestrelsrc.h"

#include <kestrel/kestrel_c.h>

#include <gst/check/gstcheck.h>
#include <gst/check/gstharness.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

static GstHarness* start_harness(const gchar* instance, GstBus** bus, gboolean one_at_a_time)
{
    GstHarness* h = gst_harness_new("kestrelsrc");
    g_object_set(h->element, "driver", KESTREL_SIMCAM, "instance-id", instance, NULL);
    *bus = gst_bus_new();
    gst_element_set_bus(h->element, *bus);
    gst_harness_use_testclock(h);
    /* One frame at a time: the next is taken after the test pulls one, at
     * the clock time the test set. */
    if (one_at_a_time)
        gst_harness_set_blocking_push_mode(h);
    return h;
}

static void stop_harness(GstHarness* h, GstBus* bus)
{
    gst_harness_teardown(h);
    gst_object_unref(bus);
}

static gboolean has_text(GstMessage* message, const gchar* part)
{
    GError* error = NULL;
    gchar* debug = NULL;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
        gst_message_parse_error(message, &error, &debug);
    else
        gst_message_parse_warning(message, &error, &debug);
    const gboolean found = debug != NULL && strstr(debug, part) != NULL;
    if (!found)
        GST_ERROR("\"%s\" not in %s: %s", part, error->message, debug);
    g_clear_error(&error);
    g_free(debug);
    return found;
}

/* Caps from the JPEG header and the driver's frame rate; timestamps in
 * running time of the pipeline clock when each frame arrived. */
GST_START_TEST(caps_and_timestamps_come_from_what_arrives)
{
    const struct {
        const gchar* stream;
        gint stream_index;
        gint width, height;
    } rows[] = {{"video", 0, 640, 480}, {"media", 1, 320, 240}}; /* media stream 1: half size */
    const GstClockTime clock[] = {3 * GST_SECOND, 3500 * GST_MSECOND, 5 * GST_SECOND};
    const GstClockTime base = GST_SECOND;

    for (guint r = 0; r < G_N_ELEMENTS(rows); ++r) {
        GstBus* bus;
        GstHarness* h = start_harness("caps", &bus, TRUE);
        gst_util_set_object_arg(G_OBJECT(h->element), "stream", rows[r].stream);
        g_object_set(h->element, "stream-index", rows[r].stream_index, NULL);
        gst_element_set_base_time(h->element, base);
        gst_harness_set_time(h, clock[0]);
        gst_harness_play(h);
        for (guint i = 0; i < G_N_ELEMENTS(clock); ++i) {
            gst_harness_set_time(h, clock[i]);
            GstBuffer* buffer = gst_harness_pull(h);
            fail_unless(buffer != NULL);
            /* Frame i was taken after frame i-1 was pulled: at the time set
             * then, or at the one set since. */
            const GstClockTime pts = GST_BUFFER_PTS(buffer);
            fail_unless(pts == clock[i] - base || (i > 0 && pts == clock[i - 1] - base), "%" GST_TIME_FORMAT,
                        GST_TIME_ARGS(pts));
            fail_unless_equals_uint64(GST_BUFFER_DURATION(buffer), GST_SECOND / 15);
            fail_unless(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT) == (i == 0)); /* a new stream */
            gst_buffer_unref(buffer);
        }
        GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
        GstCaps* expected =
            gst_caps_new_simple("image/jpeg", "width", G_TYPE_INT, rows[r].width, "height", G_TYPE_INT, rows[r].height,
                                "framerate", GST_TYPE_FRACTION, 15, 1, "parsed", G_TYPE_BOOLEAN, TRUE, NULL);
        gst_check_caps_equal(caps, expected);
        gst_caps_unref(caps);
        gst_caps_unref(expected);
        fail_unless_equals_uint64(gst_harness_query_latency(h), GST_SECOND / 15);
        stop_harness(h, bus);
    }
}
GST_END_TEST;

/* A driver that crashes or hangs takes its proxy server down: a warning with
 * the code in words, the instance added again, the gap flagged; with
 * reconnect off, an error instead. */
GST_START_TEST(lost_proxy_server_is_survived_or_ends_the_stream)
{
    const struct {
        const gchar* command;
        gboolean reconnect;
    } rows[] = {{"crash", TRUE}, {"hang", TRUE}, {"crash", FALSE}};

    for (guint r = 0; r < G_N_ELEMENTS(rows); ++r) {
        GstBus* bus;
        GstHarness* h = start_harness("lost", &bus, rows[r].reconnect);
        g_object_set(h->element, "reconnect", rows[r].reconnect, NULL);
        gst_harness_play(h);
        gst_buffer_unref(gst_harness_pull(h));
        gint result = 0;
        g_signal_emit_by_name(h->element, "custom-command", rows[r].command, &result);
        fail_unless_equals_int(result, G_MININT);

        if (!rows[r].reconnect) {
            /* Frames flow freely here; the first call after the loss fails. */
            GstMessage* error = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND, GST_MESSAGE_ERROR);
            fail_unless(error != NULL && has_text(error, "GetVideoDataBlock threw 0x"));
            gst_message_unref(error);
            fail_unless(gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING) == NULL);
            stop_harness(h, bus);
            continue;
        }
        /* A frame taken before the loss may come first, without the flag. */
        GstBuffer* buffer = gst_harness_pull(h);
        GstClockTime last = GST_BUFFER_PTS(buffer);
        if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT)) {
            gst_buffer_unref(buffer);
            buffer = gst_harness_pull(h);
        }
        fail_unless(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
        fail_unless(GST_BUFFER_PTS(buffer) >= last);
        gst_buffer_unref(buffer);
        GstMessage* warning = gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING);
        fail_unless(warning != NULL && has_text(warning, "GetVideoDataBlock threw 0x"));
        gst_message_unref(warning);
        buffer = gst_harness_pull(h); /* and on it goes */
        fail_if(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
        gst_buffer_unref(buffer);
        stop_harness(h, bus);
    }
}
GST_END_TEST;

GST_START_TEST(failed_start_says_why)
{
    const struct {
        const gchar* property;
        const gchar* value;
        const gchar* reason;
    } rows[] = {
        {"driver", "/nonexistent/libnothing.so", "cannot start HostProc /nonexistent/hostproc/HostProc"},
        {"password", "wrong", "OpenStreamConnection(\"start\", camera 1) answered -1"},
    };
    for (guint r = 0; r < G_N_ELEMENTS(rows); ++r) {
        GstElement* src = gst_element_factory_make("kestrelsrc", NULL);
        GstBus* bus = gst_bus_new();
        gst_element_set_bus(src, bus);
        g_object_set(src, "driver", KESTREL_SIMCAM, "instance-id", "start", NULL);
        gst_util_set_object_arg(G_OBJECT(src), rows[r].property, rows[r].value);
        fail_unless_equals_int(gst_element_set_state(src, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        GstMessage* error = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
        fail_unless(error != NULL && has_text(error, rows[r].reason));
        gst_message_unref(error);
        gst_element_set_state(src, GST_STATE_NULL);
        gst_object_unref(src);
        gst_object_unref(bus);
    }
}
GST_END_TEST;

/* The action signals move the head (read back through the C interface,
 * which shares the element's instances), and a driver event arrives on the
 * bus. */
GST_START_TEST(ptz_signals_move_the_head_and_events_reach_the_bus)
{
    const struct {
        const gchar* preset; /* NULL: ptz-move */
        gdouble pan, tilt, zoom;
        gboolean ok;
    } rows[] = {{"Entrance", -45, -10, 2, TRUE}, {NULL, 12.5, -3, 4, TRUE}, {"Nowhere", 12.5, -3, 4, FALSE}};
    GstBus* bus;
    GstHarness* h = start_harness("ptz", &bus, TRUE);
    gst_harness_play(h);
    for (guint r = 0; r < G_N_ELEMENTS(rows); ++r) {
        gboolean ok = !rows[r].ok;
        if (rows[r].preset != NULL)
            g_signal_emit_by_name(h->element, "ptz-preset", rows[r].preset, &ok);
        else
            g_signal_emit_by_name(h->element, "ptz-move", rows[r].pan, rows[r].tilt, rows[r].zoom, &ok);
        fail_unless_equals_int(ok, rows[r].ok);
        int result = -1, pan = 0, tilt = 0, zoom = 0;
        fail_unless(kestrel_GetPTZPos(&result, "ptz", 1, 0, &pan, &tilt, &zoom) == KESTREL_RETURNED && result == 0);
        fail_unless(pan == (int)(rows[r].pan * 100) && tilt == (int)(rows[r].tilt * 100) &&
                    zoom == (int)(rows[r].zoom * 100));
    }

    gint result = -1;
    g_signal_emit_by_name(h->element, "custom-command", "input 2 1", &result);
    fail_unless_equals_int(result, 0);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND, GST_MESSAGE_ELEMENT);
    fail_unless(message != NULL);
    const GstStructure* event = gst_message_get_structure(message);
    fail_unless(gst_structure_has_name(event, "kestrel-event"));
    fail_unless_equals_string(gst_structure_get_string(event, "instance-id"), "ptz");
    fail_unless_equals_string(gst_structure_get_string(event, "source"), "Input2");
    fail_unless_equals_string(gst_structure_get_string(event, "state"), "1");
    fail_unless(g_str_has_prefix(gst_structure_get_string(event, "xml"),
                                 "<Event type=\"Event\"><source>Input2</source><state>1</state>"));
    gst_message_unref(message);
    stop_harness(h, bus);
}
GST_END_TEST;

static int remove_entry(const char* path, const struct stat* st, int flag, struct FTW* ftw)
{
    (void)st, (void)flag, (void)ftw;
    return remove(path);
}

int main(int argc, char** argv)
{
    char root[] = "/tmp/kestrel-gst-test-XXXXXX";
    if (mkdtemp(root) == NULL)
        return 1;
    gchar* rpc = g_build_filename(root, "rpc", NULL);
    mkdir(rpc, 0700);
    g_setenv("KESTREL_RPC_DIR", rpc, TRUE);
    g_setenv("XDG_CONFIG_DIRS", "/nonexistent", TRUE);
    /* Hung calls end after 5 s; the camera is unpaced, 640x480 at 15 fps. */
    g_setenv("KESTREL_TEST_DEADLINE_MS", "5000", TRUE);
    g_setenv("KESTREL_TEST_TIMER_PERIOD_MS", "50", TRUE);
    g_setenv("SIMCAM_DETERMINISTIC", "1", TRUE);
    g_setenv("SIMCAM_WIDTH", "640", TRUE);
    g_setenv("SIMCAM_HEIGHT", "480", TRUE);
    g_setenv("SIMCAM_FPS", "15", TRUE);

    gst_check_init(&argc, &argv);
    gst_element_register(NULL, "kestrelsrc", GST_RANK_NONE, GST_TYPE_KESTREL_SRC);
    Suite* suite = suite_create("kestrelsrc");
    TCase* tc = tcase_create("element");
    tcase_set_timeout(tc, 300);
    suite_add_tcase(suite, tc);
    tcase_add_test(tc, caps_and_timestamps_come_from_what_arrives);
    tcase_add_test(tc, lost_proxy_server_is_survived_or_ends_the_stream);
    tcase_add_test(tc, failed_start_says_why);
    tcase_add_test(tc, ptz_signals_move_the_head_and_events_reach_the_bus);
    const int failed = gst_check_run_suite(suite, "kestrelsrc", __FILE__);
    nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    g_free(rpc);
    return failed != 0;
}
