/* kestrelsrc's event thread: the driver's event stream, read beside the
 * frames, each event posted on the bus as a "kestrel-event" element message
 * with the instance, the event's source and state where it names them, the
 * raw text, and the XML when the driver parses it. */
#include "gstkestrelsrc.h"

#include <kestrel/kestrel_c.h>

#include <string.h>

GST_DEBUG_CATEGORY_EXTERN(gst_kestrel_src_debug);
#define GST_CAT_DEFAULT gst_kestrel_src_debug

/* No event waiting: ask again after this. */
#define EVENT_POLL (20 * GST_MSECOND)

typedef struct {
    GstKestrelSrc* src;
    GstKestrelTarget t; /* the started element's, read-only while the thread runs */
    short parser;
} Events;

static gboolean open_stream(Events* e)
{
    int result = -1;
    short parser = 0;
    if (kestrel_OpenMediaStream(&result, e->t.instance_id, e->t.password, e->t.event_media_type, 0, 0, "") !=
            KESTREL_RETURNED ||
        result < 0) {
        GST_INFO_OBJECT(e->src, "no event stream (%d): %s", result, kestrel_last_error());
        return FALSE;
    }
    e->parser =
        kestrel_OpenXmlEventParserDyn(&parser, e->t.instance_id, "", e->t.password, "Event") == KESTREL_RETURNED &&
                parser > 0
            ? parser
            : 0;
    return TRUE;
}

/* "key=value" pairs separated by ';' or new lines: the value of one key. */
static gchar* field(const gchar* text, const gchar* key)
{
    gchar** pairs = g_strsplit_set(text, ";\n", -1);
    gchar* value = NULL;
    const gsize n = strlen(key);
    for (gchar** pair = pairs; *pair != NULL && value == NULL; ++pair) {
        if (strncmp(*pair, key, n) == 0 && (*pair)[n] == '=')
            value = g_strdup(*pair + n + 1);
    }
    g_strfreev(pairs);
    return value;
}

static void post(Events* e, const unsigned char* data, int length)
{
    gchar* text = g_strndup((const gchar*)data, (gsize)length);
    GstStructure* s = gst_structure_new("kestrel-event", "instance-id", G_TYPE_STRING, e->t.instance_id, "data",
                                        G_TYPE_STRING, text, NULL);
    gchar* source = field(text, "source");
    gchar* state = field(text, "state");
    if (source != NULL)
        gst_structure_set(s, "source", G_TYPE_STRING, source, NULL);
    if (state != NULL)
        gst_structure_set(s, "state", G_TYPE_STRING, state, NULL);
    kestrel_bstr xml = NULL;
    int fields = 0;
    if (e->parser > 0 &&
        kestrel_ParseXmlEventDataDyn(&fields, e->t.instance_id, "", e->t.password, e->parser, data, length, &xml) ==
            KESTREL_RETURNED &&
        fields > 0 && xml != NULL) {
        gchar* utf8 = kestrel_bstr_to_utf8(xml);
        gst_structure_set(s, "xml", G_TYPE_STRING, utf8, NULL);
        kestrel_free(utf8);
    }
    kestrel_bstr_free(xml);
    g_free(source);
    g_free(state);
    g_free(text);
    gst_element_post_message(GST_ELEMENT(e->src), gst_message_new_element(GST_OBJECT(e->src), s));
}

/* After a lost proxy server: waits for the streaming thread to add the
 * instance again; FALSE when the element stops first. */
static gboolean wait_for_readd(GstKestrelSrc* src, guint seen)
{
    g_mutex_lock(&src->lock);
    while (!src->events_stop && src->generation == seen)
        g_cond_wait(&src->changed, &src->lock);
    const gboolean go_on = !src->events_stop;
    g_mutex_unlock(&src->lock);
    return go_on;
}

static gpointer run(gpointer data)
{
    Events* e = data;
    GstKestrelSrc* src = e->src;
    g_mutex_lock(&src->lock);
    guint generation = src->generation;
    g_mutex_unlock(&src->lock);
    gboolean open = TRUE;
    while (open) {
        unsigned char* block = NULL;
        int result = 0;
        gst_kestrel_call_begin(src);
        const kestrel_status status =
            kestrel_GetMediaDataBlock(&result, e->t.instance_id, e->t.event_media_type, 0, 0, &block);
        if (status == KESTREL_RETURNED && result > 0 && block != NULL)
            post(e, block, result);
        gst_kestrel_call_end(src);
        if (status != KESTREL_RETURNED) {
            /* The streaming thread meets the loss too and adds the instance
             * again; the stream is opened anew on the new proxy server. */
            GST_DEBUG_OBJECT(src, "event stream lost: %s", kestrel_last_error());
            if (!wait_for_readd(src, generation))
                break;
            g_mutex_lock(&src->lock);
            generation = src->generation;
            g_mutex_unlock(&src->lock);
            open = open_stream(e);
            continue;
        }
        gst_kestrel_release(block);
        if (result <= 0 && !gst_kestrel_src_wait(src, EVENT_POLL, TRUE))
            break;
    }
    if (open) {
        if (e->parser > 0)
            kestrel_CloseXmlEventParserDyn(e->t.instance_id, "", e->t.password, e->parser);
        kestrel_CloseMediaStream(e->t.instance_id, e->t.event_media_type, 0, 0);
    }
    g_free(e);
    return NULL;
}

void gst_kestrel_events_start(GstKestrelSrc* src)
{
    if (src->target.event_media_type < 0)
        return;
    Events* e = g_new0(Events, 1);
    e->src = src;
    e->t = src->target; /* shares the strings: the thread ends before they go */
    /* Opened before the element reports itself started, so that no event
     * raised after that is missed. */
    if (!open_stream(e)) {
        g_free(e);
        return;
    }
    src->events_stop = FALSE;
    src->events_thread = g_thread_new("kestrelsrc-events", run, e);
}

void gst_kestrel_events_stop(GstKestrelSrc* src)
{
    if (src->events_thread == NULL)
        return;
    g_mutex_lock(&src->lock);
    src->events_stop = TRUE;
    g_cond_broadcast(&src->changed);
    g_mutex_unlock(&src->lock);
    g_thread_join(src->events_thread);
    src->events_thread = NULL;
}
