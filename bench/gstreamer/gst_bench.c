/*
 * kestrel-bench-gst: what kestrelsrc costs per frame. The same simulated
 * camera, unpaced, read two ways: the loop `kestrel stream` runs
 * (GetVideoDataBlock, DeleteBuffer) and `kestrelsrc ! fakesink`; at 640x480
 * and 1920x1080, alternating trials, medians. Frame rates on a shared
 * machine swing by more than the element costs, so the cost is measured
 * where it is spent: this program puts itself in front of
 * kestrel_GetVideoDataBlock (the executable's symbol comes first for the
 * plugin too) and times, frame by frame, what each way does between one
 * call's return and the next call. Also the latency the element adds: from
 * a frame's arrival (its timestamp) to the sink.
 */
#define _GNU_SOURCE /* RTLD_NEXT */
#include <kestrel/kestrel_c.h>

#include <gst/gst.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TRIALS 9
#define WARMUP 10
#define MAX_FRAMES 1024

/* Time between a call's return and the next call, per frame of a trial;
 * one way runs at a time, on one thread. */
static gint64 g_returned_us;
static double g_outside_us[MAX_FRAMES];
static int g_calls;

__attribute__((visibility("default"))) kestrel_status kestrel_GetVideoDataBlock(int* pResult, const char* szServer,
                                                                                int nCamNo,
                                                                                unsigned char** ppVideoDataBytes) {
    static kestrel_status (*real)(int*, const char*, int, unsigned char**);
    if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "kestrel_GetVideoDataBlock");
    const gint64 called = g_get_monotonic_time();
    if (g_calls > WARMUP && g_calls - WARMUP <= MAX_FRAMES)
        g_outside_us[g_calls - WARMUP - 1] = (double)(called - g_returned_us);
    ++g_calls;
    const kestrel_status status = real(pResult, szServer, nCamNo, ppVideoDataBytes);
    g_returned_us = g_get_monotonic_time();
    return status;
}

typedef struct {
    gint frames;
    gint measured;
    gint64 start_us, end_us;
    GstClockTime latency_sum, latency_max;
} Sink;

static int compare(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static double median(double* values, int n) {
    qsort(values, (size_t)n, sizeof *values, compare);
    return values[n / 2];
}

/* The median time outside the call of the trial that just ended. */
static double outside_median(void) {
    const int n = MIN(g_calls - WARMUP - 1, MAX_FRAMES);
    g_calls = 0;
    return median(g_outside_us, n);
}

/* Microseconds per frame of the stream command's loop; like the command
 * (and the element), each trial adds the instance and removes it. */
static double loop_trial(const char* id, int frames) {
    int added = 0, opened = -1;
    if (kestrel_AddDeviceInstance(&added, id, KESTREL_SIMCAM, id) != KESTREL_RETURNED || !added ||
        kestrel_OpenStreamConnection(&opened, id, "simcam", 0, 1) != KESTREL_RETURNED || opened < 0) {
        fprintf(stderr, "%s: %s\n", id, kestrel_last_error());
        exit(1);
    }
    gint64 start = 0;
    for (int i = 0; i < WARMUP + frames; ++i) {
        if (i == WARMUP) start = g_get_monotonic_time();
        unsigned char* block = NULL;
        int size = 0;
        if (kestrel_GetVideoDataBlock(&size, id, 1, &block) != KESTREL_RETURNED || size <= 0) {
            fprintf(stderr, "GetVideoDataBlock(%s): %d %s\n", id, size, kestrel_last_error());
            exit(1);
        }
        kestrel_DeleteBuffer(block);
    }
    const gint64 end = g_get_monotonic_time();
    kestrel_CloseConnection2(id, 1);
    kestrel_RemoveDeviceInstance(id);
    return (double)(end - start) / frames;
}

static void on_handoff(GstElement* sink, GstBuffer* buffer, GstPad* pad, gpointer data) {
    Sink* s = data;
    (void)pad;
    if (++s->frames == WARMUP + 1) s->start_us = g_get_monotonic_time();
    if (s->frames <= WARMUP) return;
    s->end_us = g_get_monotonic_time();
    ++s->measured;
    GstClock* clock = gst_element_get_clock(sink);
    const GstClockTime now = gst_clock_get_time(clock) - gst_element_get_base_time(sink);
    gst_object_unref(clock);
    const GstClockTime latency = now - GST_BUFFER_PTS(buffer);
    s->latency_sum += latency;
    s->latency_max = MAX(s->latency_max, latency);
}

/* Microseconds per frame through kestrelsrc ! fakesink; the latencies too. */
static double element_trial(const char* id, int frames, double* latency_mean_us, double* latency_max_us) {
    gchar* description = g_strdup_printf(
        "kestrelsrc instance-id=%s proxy-server=%s event-media-type=-1 "
        "num-buffers=%d ! fakesink name=sink sync=false enable-last-sample=false signal-handoffs=true",
        id, id, WARMUP + frames + 1);
    GstElement* pipeline = gst_parse_launch(description, NULL);
    g_free(description);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    Sink s = {0};
    g_signal_connect(sink, "handoff", G_CALLBACK(on_handoff), &s);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, GST_CLOCK_TIME_NONE, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* error = NULL;
        gst_message_parse_error(message, &error, NULL);
        fprintf(stderr, "pipeline: %s\n", error->message);
        exit(1);
    }
    gst_message_unref(message);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    /* Time from the first measured frame to the last: one interval fewer. */
    *latency_mean_us = (double)s.latency_sum / s.measured / 1000.0;
    *latency_max_us = (double)s.latency_max / 1000.0;
    return (double)(s.end_us - s.start_us) / (s.measured - 1);
}

int main(int argc, char** argv) {
    static const struct {
        const char* width;
        const char* height;
        int frames;
    } sizes[] = {{"640", "480", 600}, {"1920", "1080", 200}}; /* at most MAX_FRAMES */
    char rpc[] = "/tmp/kestrel-bench-gst-XXXXXX";
    /* Google Benchmark's options (make bench passes them to every program) mean nothing here. */
    (void)argc, (void)argv;
    if (mkdtemp(rpc) == NULL) return 1;
    g_setenv("KESTREL_RPC_DIR", rpc, TRUE);
    g_setenv("SIMCAM_DETERMINISTIC", "1", TRUE); /* unpaced */
    const gchar* path = g_getenv("GST_PLUGIN_PATH");
    gchar* plugins = g_strconcat(KESTREL_GST_PLUGIN_FOLDER, path ? ":" : "", path ? path : "", NULL);
    g_setenv("GST_PLUGIN_PATH", plugins, TRUE);
    g_free(plugins);
    gst_init(NULL, NULL);

    printf(
        "| frame size | `kestrel stream`'s loop | `kestrelsrc ! fakesink` | kestrelsrc's own cost per frame | "
        "of the frame time | arrival to sink (mean / max) |\n|---|---|---|---|---|---|\n");
    for (size_t i = 0; i < G_N_ELEMENTS(sizes); ++i) {
        /* Each way has its own proxy server, started with this frame size. */
        g_setenv("SIMCAM_WIDTH", sizes[i].width, TRUE);
        g_setenv("SIMCAM_HEIGHT", sizes[i].height, TRUE);
        gchar* loop_id = g_strdup_printf("loop-%s", sizes[i].width);
        gchar* element_id = g_strdup_printf("element-%s", sizes[i].width);
        double loop[TRIALS], element[TRIALS], loop_out[TRIALS], element_out[TRIALS], mean[TRIALS], max[TRIALS];
        for (int t = 0; t < TRIALS; ++t) {
            loop[t] = loop_trial(loop_id, sizes[i].frames);
            loop_out[t] = outside_median();
            element[t] = element_trial(element_id, sizes[i].frames, &mean[t], &max[t]);
            element_out[t] = outside_median();
        }
        const double l = median(loop, TRIALS), e = median(element, TRIALS);
        const double lo = median(loop_out, TRIALS), eo = median(element_out, TRIALS);
        printf(
            "| %sx%s | %.0f fps (%.0f us/frame; %.1f us outside the call) | %.0f fps (%.0f us/frame; %.1f us outside "
            "the call) | %.1f us | %.2f %% | %.0f us / %.0f us |\n",
            sizes[i].width, sizes[i].height, 1e6 / l, l, lo, 1e6 / e, e, eo, eo - lo, (eo - lo) / e * 100,
            median(mean, TRIALS), median(max, TRIALS));
        fflush(stdout);
        g_free(loop_id);
        g_free(element_id);
    }
    return 0;
}
