/*
 * kestrelsrc: a live source of JPEG frames from a camera behind Kestrel.
 *
 * The element adds its instance (AddDeviceInstance) when it starts and
 * removes it when it stops. When a call throws because the camera's proxy
 * server went down (a driver crash, a hung call ended by the deadline), it
 * posts a warning with the code in words, adds the instance again with
 * backoff and goes on, flagging the first buffer after the gap DISCONT; with
 * reconnect=false the throw is an element error instead.
 */
#ifndef GST_KESTREL_SRC_H
#define GST_KESTREL_SRC_H

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_KESTREL_SRC (gst_kestrel_src_get_type())
G_DECLARE_FINAL_TYPE(GstKestrelSrc, gst_kestrel_src, GST, KESTREL_SRC, GstPushSrc)

typedef enum {
    GST_KESTREL_STREAM_VIDEO = 0, /* OpenStreamConnection, GetVideoDataBlock */
    GST_KESTREL_STREAM_MEDIA = 1, /* OpenMediaStream, GetMediaDataBlock */
} GstKestrelStream;

/* What the element talks to, copied from the properties when it starts, so
 * that the streaming thread, the event thread and the action signals share
 * one unchanging set while it runs. */
typedef struct {
    gchar* driver;
    gchar* instance_id;
    gchar* proxy_server;
    gchar* password;
    gint camera;
    GstKestrelStream stream;
    gint media_type;
    gint stream_index;
    gdouble framerate;
    gint event_media_type;
} GstKestrelTarget;

struct _GstKestrelSrc {
    GstPushSrc parent;

    /* Properties, under the object lock. */
    GstKestrelTarget props;
    gboolean reconnect;

    /* While started: the target in use (read-only), and the state the
     * threads share under lock. */
    GstKestrelTarget target;
    gboolean started;
    GMutex lock;
    GCond changed;
    gboolean flushing; /* unlock(): waits end at once */
    guint generation;  /* bumped by every successful re-add */
    gboolean events_stop;
    GThread* events_thread;
    gint calls; /* calls of the signals and the event thread under way */

    /* The streaming thread's own. */
    gint width, height;
    gint fps_n, fps_d;
    GstClockTime frame_duration; /* GST_CLOCK_TIME_NONE while unknown */
    GstBuffer* held;             /* a frame kept back while measuring the rate */
    gboolean discont;
    guint64 frames;
};

/* kestrelsrc-session.c: the instance's life on the C interface. */
void gst_kestrel_target_clear(GstKestrelTarget* t);
void gst_kestrel_target_copy(GstKestrelTarget* to, const GstKestrelTarget* from);
/* Adds the instance and opens its stream; FALSE with the reason in why. */
gboolean gst_kestrel_add_and_open(const GstKestrelTarget* t, GString* why);
void gst_kestrel_close_and_remove(const GstKestrelTarget* t);
/* The driver's frame rate as a fraction; FALSE when it has none. */
gboolean gst_kestrel_query_framerate(const GstKestrelTarget* t, gint* fps_n, gint* fps_d);
/* One block; 1 with a block, 0 when the driver had none, -1 when the call
 * threw or failed, -2 when the driver answered with an error (why says it). */
gint gst_kestrel_fetch(const GstKestrelTarget* t, unsigned char** block, size_t* length, GString* why);
void gst_kestrel_release(unsigned char* block);
/* Around a call of an application thread or the event thread: a re-add
 * waits until those under way when the proxy server was lost have ended, as
 * a failed call removes whatever instance then has the id, re-added or not. */
void gst_kestrel_call_begin(GstKestrelSrc* src);
void gst_kestrel_call_end(GstKestrelSrc* src);
/* Waits up to timeout (or until unlock/stop); FALSE when interrupted. */
gboolean gst_kestrel_src_wait(GstKestrelSrc* src, GstClockTime timeout, gboolean for_events);

/* kestrelsrc-signals.c: ptz-preset, ptz-move and custom-command. */
void gst_kestrel_src_add_signals(GstKestrelSrcClass* klass);

/* kestrelsrc-events.c: driver events as element messages. */
void gst_kestrel_events_start(GstKestrelSrc* src);
void gst_kestrel_events_stop(GstKestrelSrc* src);

/* The size of a JPEG picture from its frame header; FALSE when the bytes
 * are not a JPEG with one. */
gboolean gst_kestrel_jpeg_size(const guint8* data, gsize size, gint* width, gint* height);

G_END_DECLS

#endif /* GST_KESTREL_SRC_H */
