/*
 * kestrelsrc: the element. Properties and the GstBaseSrc side: start and
 * stop, caps and timestamps from what arrives, the latency, and surviving a
 * lost proxy server.
 */
#define _GNU_SOURCE /* dladdr */
#include "gstkestrelsrc.h"

#include <dlfcn.h>
#include <stdlib.h>

GST_DEBUG_CATEGORY(gst_kestrel_src_debug);
#define GST_CAT_DEFAULT gst_kestrel_src_debug

enum {
    PROP_0,
    PROP_DRIVER,
    PROP_INSTANCE_ID,
    PROP_PROXY_SERVER,
    PROP_PASSWORD,
    PROP_CAMERA,
    PROP_STREAM,
    PROP_MEDIA_TYPE,
    PROP_STREAM_INDEX,
    PROP_FRAMERATE,
    PROP_RECONNECT,
    PROP_EVENT_MEDIA_TYPE,
};

/* Re-adding after a lost proxy server: at once, then after 100 ms, doubling
 * up to 5 s between attempts. */
#define RETRY_FIRST (100 * GST_MSECOND)
#define RETRY_MAX (5 * GST_SECOND)
/* A driver that has no block yet is asked again after this. */
#define POLL_INTERVAL (10 * GST_MSECOND)

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("image/jpeg, width = (int) [ 1, 65535 ], height = (int) [ 1, 65535 ], "
                                            "framerate = (fraction) [ 0/1, MAX ], parsed = (boolean) true"));

G_DEFINE_TYPE(GstKestrelSrc, gst_kestrel_src, GST_TYPE_PUSH_SRC)

static GType gst_kestrel_stream_get_type(void)
{
    static GType type = 0;
    static const GEnumValue values[] = {
        {GST_KESTREL_STREAM_VIDEO, "Video blocks (OpenStreamConnection, GetVideoDataBlock)", "video"},
        {GST_KESTREL_STREAM_MEDIA, "Media blocks (OpenMediaStream, GetMediaDataBlock)", "media"},
        {0, NULL, NULL},
    };
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstKestrelStream", values));
    return type;
}

/* The simulated camera that came with this plugin: the build tree's when
 * the plugin is the build tree's, else the one installed beside it. */
static gchar* default_driver(void)
{
    Dl_info info;
    char* file;
    if (dladdr((void*)default_driver, &info) != 0 && info.dli_fname != NULL &&
        (file = realpath(info.dli_fname, NULL)) != NULL) {
        gchar* folder = g_path_get_dirname(file);
        free(file);
        gchar* path = g_strcmp0(folder, KESTREL_GST_BUILD_FOLDER) == 0
                          ? g_strdup(KESTREL_GST_BUILD_DRIVER)
                          : g_canonicalize_filename(KESTREL_GST_DRIVER_FROM_PLUGIN, folder);
        g_free(folder);
        return path;
    }
    return g_strdup(KESTREL_GST_BUILD_DRIVER);
}

gboolean gst_kestrel_src_wait(GstKestrelSrc* src, GstClockTime timeout, gboolean for_events)
{
    const gint64 until = g_get_monotonic_time() + (gint64)(timeout / GST_USECOND);
    g_mutex_lock(&src->lock);
    gboolean* stop = for_events ? &src->events_stop : &src->flushing;
    while (!*stop && g_cond_wait_until(&src->changed, &src->lock, until))
        ;
    const gboolean interrupted = *stop;
    g_mutex_unlock(&src->lock);
    return !interrupted;
}

/* ---- properties ---- */

static void gst_kestrel_src_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(object);
    GstKestrelTarget* p = &src->props;
    GST_OBJECT_LOCK(src);
    switch (id) {
        case PROP_DRIVER:
            g_free(p->driver);
            p->driver = g_value_get_string(value) ? g_value_dup_string(value) : default_driver();
            break;
        case PROP_INSTANCE_ID:
            g_free(p->instance_id);
            p->instance_id = g_value_dup_string(value);
            break;
        case PROP_PROXY_SERVER:
            g_free(p->proxy_server);
            p->proxy_server = g_value_dup_string(value);
            break;
        case PROP_PASSWORD:
            g_free(p->password);
            p->password = g_value_dup_string(value);
            break;
        case PROP_CAMERA:
            p->camera = g_value_get_int(value);
            break;
        case PROP_STREAM:
            p->stream = (GstKestrelStream)g_value_get_enum(value);
            break;
        case PROP_MEDIA_TYPE:
            p->media_type = g_value_get_int(value);
            break;
        case PROP_STREAM_INDEX:
            p->stream_index = g_value_get_int(value);
            break;
        case PROP_FRAMERATE:
            p->framerate = g_value_get_double(value);
            break;
        case PROP_RECONNECT:
            src->reconnect = g_value_get_boolean(value);
            break;
        case PROP_EVENT_MEDIA_TYPE:
            p->event_media_type = g_value_get_int(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(src);
}

static void gst_kestrel_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(object);
    const GstKestrelTarget* p = &src->props;
    GST_OBJECT_LOCK(src);
    switch (id) {
        case PROP_DRIVER:
            g_value_set_string(value, p->driver);
            break;
        case PROP_INSTANCE_ID:
            g_value_set_string(value, p->instance_id);
            break;
        case PROP_PROXY_SERVER:
            g_value_set_string(value, p->proxy_server);
            break;
        case PROP_PASSWORD:
            g_value_set_string(value, p->password);
            break;
        case PROP_CAMERA:
            g_value_set_int(value, p->camera);
            break;
        case PROP_STREAM:
            g_value_set_enum(value, p->stream);
            break;
        case PROP_MEDIA_TYPE:
            g_value_set_int(value, p->media_type);
            break;
        case PROP_STREAM_INDEX:
            g_value_set_int(value, p->stream_index);
            break;
        case PROP_FRAMERATE:
            g_value_set_double(value, p->framerate);
            break;
        case PROP_RECONNECT:
            g_value_set_boolean(value, src->reconnect);
            break;
        case PROP_EVENT_MEDIA_TYPE:
            g_value_set_int(value, p->event_media_type);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(src);
}

/* ---- start and stop ---- */

static gboolean gst_kestrel_src_start(GstBaseSrc* base)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(base);
    GstKestrelTarget t = {0};
    GST_OBJECT_LOCK(src);
    gst_kestrel_target_copy(&t, &src->props);
    GST_OBJECT_UNLOCK(src);

    GString* why = g_string_new(NULL);
    if (!gst_kestrel_add_and_open(&t, why)) {
        GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("Could not open camera %d of %s.", t.camera, t.instance_id),
                          ("%s", why->str));
        g_string_free(why, TRUE);
        gst_kestrel_target_clear(&t);
        return FALSE;
    }
    g_string_free(why, TRUE);
    src->width = src->height = 0;
    src->fps_n = 0;
    src->fps_d = 1;
    src->discont = FALSE;
    src->frames = 0;
    const gboolean rate_known = gst_kestrel_query_framerate(&t, &src->fps_n, &src->fps_d);
    GST_OBJECT_LOCK(src);
    src->frame_duration =
        rate_known ? gst_util_uint64_scale_int(GST_SECOND, src->fps_d, src->fps_n) : GST_CLOCK_TIME_NONE;
    GST_OBJECT_UNLOCK(src);
    g_mutex_lock(&src->lock);
    gst_kestrel_target_copy(&src->target, &t);
    src->started = TRUE;
    src->flushing = FALSE;
    g_mutex_unlock(&src->lock);
    gst_kestrel_target_clear(&t);
    gst_kestrel_events_start(src);
    return TRUE;
}

static gboolean gst_kestrel_src_stop(GstBaseSrc* base)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(base);
    gst_kestrel_events_stop(src);
    g_mutex_lock(&src->lock);
    src->started = FALSE;
    g_mutex_unlock(&src->lock);
    /* No other thread reads the target once started is FALSE. */
    if (src->target.instance_id != NULL)
        gst_kestrel_close_and_remove(&src->target);
    gst_kestrel_target_clear(&src->target);
    gst_buffer_replace(&src->held, NULL);
    return TRUE;
}

static gboolean gst_kestrel_src_unlock(GstBaseSrc* base)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(base);
    g_mutex_lock(&src->lock);
    src->flushing = TRUE;
    g_cond_broadcast(&src->changed);
    g_mutex_unlock(&src->lock);
    return TRUE;
}

static gboolean gst_kestrel_src_unlock_stop(GstBaseSrc* base)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(base);
    g_mutex_lock(&src->lock);
    src->flushing = FALSE;
    g_mutex_unlock(&src->lock);
    return TRUE;
}

/* Caps come from the frames themselves. */
static gboolean gst_kestrel_src_negotiate(GstBaseSrc* base)
{
    (void)base;
    return TRUE;
}

static gboolean gst_kestrel_src_query(GstBaseSrc* base, GstQuery* query)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(base);
    if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
        return GST_BASE_SRC_CLASS(gst_kestrel_src_parent_class)->query(base, query);
    /* A frame is stamped when it arrives, up to one frame interval after the
     * camera took it. Frames wait in the driver until asked for, so
     * downstream may take as long as it needs. */
    GST_OBJECT_LOCK(src);
    const GstClockTime latency = GST_CLOCK_TIME_IS_VALID(src->frame_duration) ? src->frame_duration : 0;
    GST_OBJECT_UNLOCK(src);
    gst_query_set_latency(query, TRUE, latency, GST_CLOCK_TIME_NONE);
    return TRUE;
}

/* ---- frames ---- */

/* Adds the instance again until it works or the element is told to stop;
 * TRUE when it works again. */
static gboolean readd(GstKestrelSrc* src, GString* why)
{
    GstClockTime delay = 0;
    g_mutex_lock(&src->lock);
    while (src->calls > 0 && !src->flushing)
        g_cond_wait(&src->changed, &src->lock);
    g_mutex_unlock(&src->lock);
    for (guint attempt = 1;; ++attempt) {
        if (!gst_kestrel_src_wait(src, delay, FALSE))
            return FALSE;
        /* A thrown code means the instance is gone already (removing it here
         * could take one that another element with the same id re-added). */
        if (gst_kestrel_add_and_open(&src->target, why))
            break;
        delay = delay == 0 ? RETRY_FIRST : MIN(delay * 2, RETRY_MAX);
        GST_ELEMENT_WARNING(src, RESOURCE, OPEN_READ,
                            ("Could not add camera %s again (attempt %u).", src->target.instance_id, attempt),
                            ("%s; next attempt in %" GST_TIME_FORMAT, why->str, GST_TIME_ARGS(delay)));
    }
    g_mutex_lock(&src->lock);
    ++src->generation;
    g_cond_broadcast(&src->changed);
    g_mutex_unlock(&src->lock);
    GST_INFO_OBJECT(src, "%s is back", src->target.instance_id);
    return TRUE;
}

static void release_block(gpointer block) { gst_kestrel_release(block); }

/* Running time of the pipeline clock when the frame arrived. */
static void stamp_arrival(GstKestrelSrc* src, GstBuffer* buffer)
{
    GstClock* clock = gst_element_get_clock(GST_ELEMENT(src));
    if (clock != NULL) {
        const GstClockTime now = gst_clock_get_time(clock);
        const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(src));
        GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = now > base ? now - base : 0;
        gst_object_unref(clock);
    }
}

/* Waits for the next block, surviving lost proxy servers when allowed. */
static GstFlowReturn next_block(GstKestrelSrc* src, GstBuffer** out)
{
    GString* why = g_string_new(NULL);
    GstFlowReturn flow = GST_FLOW_OK;
    for (;;) {
        unsigned char* block = NULL;
        size_t length = 0;
        const gint got = gst_kestrel_fetch(&src->target, &block, &length, why);
        if (got == 1) {
            /* The block itself becomes the buffer's memory: no copy. */
            *out =
                gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, block, length, 0, length, block, release_block);
            stamp_arrival(src, *out);
            break;
        }
        if (got == 0) {
            if (gst_kestrel_src_wait(src, POLL_INTERVAL, FALSE))
                continue;
            flow = GST_FLOW_FLUSHING;
            break;
        }
        GST_OBJECT_LOCK(src);
        const gboolean reconnect = src->reconnect;
        GST_OBJECT_UNLOCK(src);
        if (got == -2 || !reconnect) {
            GST_ELEMENT_ERROR(src, RESOURCE, READ,
                              (got == -2 ? "Camera %d of %s answered with an error." : "Lost camera %d of %s.",
                               src->target.camera, src->target.instance_id),
                              ("%s", why->str));
            flow = GST_FLOW_ERROR;
            break;
        }
        GST_ELEMENT_WARNING(src, RESOURCE, READ,
                            ("Lost camera %d of %s; adding it again.", src->target.camera, src->target.instance_id),
                            ("%s", why->str));
        if (!readd(src, why)) {
            flow = GST_FLOW_FLUSHING;
            break;
        }
        src->discont = TRUE;
    }
    g_string_free(why, TRUE);
    return flow;
}

static void stamp(GstKestrelSrc* src, GstBuffer* buffer)
{
    GST_BUFFER_DURATION(buffer) = src->frame_duration;
    GST_BUFFER_OFFSET(buffer) = src->frames++;
    GST_BUFFER_OFFSET_END(buffer) = src->frames;
    if (src->discont) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        src->discont = FALSE;
    }
}

/* Sets caps for a frame of this size; an error when it is not a JPEG. */
static GstFlowReturn update_caps(GstKestrelSrc* src, GstBuffer* buffer)
{
    GstMapInfo map;
    gint width = 0, height = 0;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    const gboolean jpeg = gst_kestrel_jpeg_size(map.data, map.size, &width, &height);
    gst_buffer_unmap(buffer, &map);
    if (!jpeg) {
        GST_ELEMENT_ERROR(
            src, STREAM, FORMAT,
            ("Camera %d of %s sent a block that is not a JPEG picture.", src->target.camera, src->target.instance_id),
            ("%" G_GSIZE_FORMAT " bytes", gst_buffer_get_size(buffer)));
        return GST_FLOW_ERROR;
    }
    if (width == src->width && height == src->height)
        return GST_FLOW_OK;
    GstCaps* caps =
        gst_caps_new_simple("image/jpeg", "width", G_TYPE_INT, width, "height", G_TYPE_INT, height, "framerate",
                            GST_TYPE_FRACTION, src->fps_n, src->fps_d, "parsed", G_TYPE_BOOLEAN, TRUE, NULL);
    GST_INFO_OBJECT(src, "caps %" GST_PTR_FORMAT, caps);
    const gboolean ok = gst_base_src_set_caps(GST_BASE_SRC(src), caps);
    gst_caps_unref(caps);
    if (!ok)
        return GST_FLOW_NOT_NEGOTIATED;
    src->width = width;
    src->height = height;
    return GST_FLOW_OK;
}

static GstFlowReturn gst_kestrel_src_create(GstPushSrc* push, GstBuffer** out)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(push);
    GstBuffer* buffer = NULL;
    GstFlowReturn flow;
    if (src->held != NULL) {
        buffer = src->held;
        src->held = NULL;
    } else if ((flow = next_block(src, &buffer)) != GST_FLOW_OK) {
        return flow;
    } else {
        stamp(src, buffer);
    }
    if (src->fps_n == 0 && src->frames == 1) {
        /* A driver that does not say its rate: measure it from the first
         * two frames and keep the second back for the next round. */
        if ((flow = next_block(src, &src->held)) != GST_FLOW_OK) {
            gst_buffer_unref(buffer);
            return flow;
        }
        stamp(src, src->held);
        const GstClockTime interval = GST_BUFFER_PTS(src->held) - GST_BUFFER_PTS(buffer);
        if (GST_CLOCK_TIME_IS_VALID(GST_BUFFER_PTS(buffer)) && interval > 0) {
            gst_util_double_to_fraction((gdouble)GST_SECOND / (gdouble)interval, &src->fps_n, &src->fps_d);
            GST_OBJECT_LOCK(src);
            src->frame_duration = gst_util_uint64_scale_int(GST_SECOND, src->fps_d, src->fps_n);
            GST_OBJECT_UNLOCK(src);
            GST_BUFFER_DURATION(buffer) = GST_BUFFER_DURATION(src->held) = src->frame_duration;
        }
    }
    if ((flow = update_caps(src, buffer)) != GST_FLOW_OK) {
        gst_buffer_unref(buffer);
        return flow;
    }
    *out = buffer;
    return GST_FLOW_OK;
}

/* ---- the type ---- */

static void gst_kestrel_src_finalize(GObject* object)
{
    GstKestrelSrc* src = GST_KESTREL_SRC(object);
    gst_kestrel_target_clear(&src->props);
    gst_kestrel_target_clear(&src->target);
    g_mutex_clear(&src->lock);
    g_cond_clear(&src->changed);
    G_OBJECT_CLASS(gst_kestrel_src_parent_class)->finalize(object);
}

static void gst_kestrel_src_init(GstKestrelSrc* src)
{
    src->props.driver = default_driver();
    src->props.instance_id = g_strdup("cam1");
    src->props.proxy_server = g_strdup("kestrelsrc");
    src->props.password = g_strdup("simcam");
    src->props.camera = 1;
    src->props.event_media_type = 3;
    src->reconnect = TRUE;
    src->frame_duration = GST_CLOCK_TIME_NONE;
    g_mutex_init(&src->lock);
    g_cond_init(&src->changed);
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
}

static void gst_kestrel_src_class_init(GstKestrelSrcClass* klass)
{
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base_class = GST_BASE_SRC_CLASS(klass);
    const GParamFlags rw = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY;

    GST_DEBUG_CATEGORY_INIT(gst_kestrel_src_debug, "kestrelsrc", 0, "Kestrel camera source");
    object_class->set_property = gst_kestrel_src_set_property;
    object_class->get_property = gst_kestrel_src_get_property;
    object_class->finalize = gst_kestrel_src_finalize;

    g_object_class_install_property(object_class, PROP_DRIVER,
                                    g_param_spec_string("driver", "Driver",
                                                        "Camera driver file for the proxy server to load "
                                                        "(default: the simulated camera installed with Kestrel)",
                                                        NULL, rw));
    g_object_class_install_property(
        object_class, PROP_INSTANCE_ID,
        g_param_spec_string("instance-id", "Instance id", "The device instance (the camera's address)", "cam1", rw));
    g_object_class_install_property(
        object_class, PROP_PROXY_SERVER,
        g_param_spec_string("proxy-server", "Proxy server",
                            "Name of the proxy server (HostProc) that hosts the instance", "kestrelsrc", rw));
    g_object_class_install_property(object_class, PROP_PASSWORD,
                                    g_param_spec_string("password", "Password", "Device password", "simcam", rw));
    g_object_class_install_property(
        object_class, PROP_CAMERA,
        g_param_spec_int("camera", "Camera", "Camera number on the device", 1, G_MAXINT, 1, rw));
    g_object_class_install_property(
        object_class, PROP_STREAM,
        g_param_spec_enum("stream", "Stream", "Which blocks to read, as the driver offers them",
                          gst_kestrel_stream_get_type(), GST_KESTREL_STREAM_VIDEO, rw));
    g_object_class_install_property(
        object_class, PROP_MEDIA_TYPE,
        g_param_spec_int("media-type", "Media type", "The driver's media type of the video stream (stream=media)",
                         G_MININT, G_MAXINT, 0, rw));
    g_object_class_install_property(
        object_class, PROP_STREAM_INDEX,
        g_param_spec_int("stream-index", "Stream index", "The driver's stream index (stream=media)", G_MININT, G_MAXINT,
                         0, rw));
    g_object_class_install_property(object_class, PROP_FRAMERATE,
                                    g_param_spec_double("framerate", "Frame rate",
                                                        "Frame rate to ask the driver for, the nearest it offers "
                                                        "(0: the driver's own)",
                                                        0, 1000, 0, rw));
    g_object_class_install_property(
        object_class, PROP_RECONNECT,
        g_param_spec_boolean("reconnect", "Reconnect",
                             "Add the camera again when its proxy server is lost (a "
                             "warning, a gap flagged DISCONT); off: an error ends the stream",
                             TRUE, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING));
    g_object_class_install_property(object_class, PROP_EVENT_MEDIA_TYPE,
                                    g_param_spec_int("event-media-type", "Event media type",
                                                     "The driver's media type of its event stream, "
                                                     "posted as kestrel-event element messages (-1: none)",
                                                     -1, G_MAXINT, 3, rw));

    gst_kestrel_src_add_signals(klass);
    gst_element_class_set_static_metadata(element_class, "Kestrel camera source", "Source/Video",
                                          "JPEG frames from a camera driver behind Kestrel's crash-proof proxy",
                                          "The Kestrel developers");
    gst_element_class_add_static_pad_template(element_class, &src_template);

    base_class->start = gst_kestrel_src_start;
    base_class->stop = gst_kestrel_src_stop;
    base_class->unlock = gst_kestrel_src_unlock;
    base_class->unlock_stop = gst_kestrel_src_unlock_stop;
    base_class->negotiate = gst_kestrel_src_negotiate;
    base_class->query = gst_kestrel_src_query;
    GST_PUSH_SRC_CLASS(klass)->create = gst_kestrel_src_create;
}
