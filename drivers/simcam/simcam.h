/*
 * simcam.h - what the simulated camera driver libsimcam.so means by its
 * numbers and texts. The functions themselves are those of
 * <kestrel/kestrel.h>; this header only names the driver's own values.
 *
 * DEVICES
 *   Every instance id (the first argument: "cam1", "192.168.0.10", ...) is
 *   one simulated IP camera server with `cameras` cameras (numbered 1..N),
 *   `inputs` digital inputs and `outputs` digital outputs (numbered 1..N),
 *   one audio input and one audio output, a pan-tilt-zoom head per camera
 *   and a short recording ring per camera. It comes to life at its first
 *   call, with the configuration in force at that moment.
 *   The user name is not checked; every call that takes a password checks
 *   it (SIMCAM_E_PASSWORD on a mismatch). GetImage2 and GetVideoDataBlock
 *   need an OpenConnection/OpenStreamConnection of the camera first.
 *
 * CONFIGURATION (read when an instance is created and by
 * RefreshConfiguration; later sources win)
 *   1. built-in defaults
 *   2. the INI file named by $SIMCAM_CONFIG: section [simcam] for every
 *      instance, then a section named like the instance id ([cam1])
 *   3. the environment variables SIMCAM_<KEY> (SIMCAM_WIDTH=640, ...)
 *   keys          default   range
 *   width         1280      64..4096, even
 *   height        720       48..4096, even
 *   fps           10        0.1..60 (frames per second)
 *   quality       80        1..100 (JPEG quality)
 *   cameras       2         1..16
 *   inputs        2         0..16
 *   outputs       2         0..16
 *   password      simcam
 *   deterministic 0         1: frames, times, events and credentials
 *                           depend only on the calls made (no clock, no
 *                           pacing, no randomness), so two runs of one
 *                           scenario give identical bytes
 *   record_frames 300       2..100000 frames kept per camera
 *   Invalid values are ignored (the previous source's value stays).
 *
 * FRAMES
 *   JPEG test pictures of a world of coloured bars seen through the PTZ
 *   head, a moving ball, and text: camera number, frame counter, UTC time
 *   (deterministic mode: a virtual clock starting at 2024-01-01 00:00:00
 *   that advances one frame interval per frame), position and live or
 *   playback state. Half size for a connection opened with bShowHalfsize
 *   and for video stream index 1. Real mode paces GetVideoDataBlock and
 *   GetMediaDataBlock at the frame rate (or polling rate) by blocking.
 *
 * MEDIA STREAMS (nMediaType, nDeviceIndex, nStreamIndex)
 *   SIMCAM_MEDIA_VIDEO      camera 1..N, stream 0 (full) or 1 (half size):
 *                           JPEG frames; Play/Pause/GetTimeLine/Retrieve
 *   SIMCAM_MEDIA_AUDIO_IN   device 1, stream 0: 16-bit little-endian mono
 *                           PCM at 8000 Hz, a 440 Hz tone, blocks of
 *                           8000/polling-rate samples (default rate 50/s)
 *   SIMCAM_MEDIA_AUDIO_OUT  device 1, stream 0: the back channel; accepts
 *                           PutMediaDataBlock with an even byte count (result
 *                           and *pResultCode: bytes taken / 0, or an error)
 *   SIMCAM_MEDIA_EVENTS     device 0, stream 0: the event texts below, one
 *                           per block, for the sources named by szEventName
 *                           (empty: all) and selected with SetEventsDyn
 *                           (none selected: all); no block when none waits
 *   OpenMediaStreamWithSettings reads <Settings><Width/><Height/>
 *   <FrameRate/></Settings> (each optional; FrameRate is the polling rate)
 *   and is true when the stream opened. SetMediaStreamPollingRate takes
 *   0 < rate <= 100 blocks per second.
 *
 * TIMES (Play, GetTimeLine, Retrieve): milliseconds since 1970-01-01 UTC.
 *   Play needs the video stream open; a negative time returns it to live,
 *   speed 0 pauses, a negative speed plays backwards. While paused (Pause
 *   or speed 0) GetMediaDataBlock hands over no block. GetTimeLine's
 *   result is the number of recorded runs listed in its XML; Retrieve's the
 *   number of frames in the range; RetrieveStatus's the percentage done
 *   (deterministic mode: a quarter more per query).
 *
 * PTZ UNITS
 *   doubles: pan -180..180 and tilt -90..30 in degrees, zoom 1..20 (factor),
 *            focus 0..1000; speeds in degrees per second (0: at once)
 *   ints:    pan and tilt in 1/100 degree, zoom in 1/100 factor, focus as is
 *   PanTiltCamera2/ZoomCamera2/PTZCamera move relatively in those int units;
 *   PTZMoveXY(Z) speeds -100..100 (0.5 degree/s and 0.05 zoom/s per step);
 *   PTZAreaZoom takes pixels of the full-size frame; a MoveCamera2 step is
 *   5 degrees divided by the zoom, or a zoom factor of 1.25.
 *   Preset moves are immediate.
 *
 * EVENTS
 *   Sources "Input<n>" and "Motion<camera>". An event text is
 *     source=Input1;state=1;time=<ms>;seq=<n>
 *   ParseXmlEventDataDyn turns "key=value" pairs (separated by ';' or new
 *   lines) into <Event type="TYPE"><key>value</key>...</Event> and returns
 *   the number of pairs. QueryEventsDyn returns 1 and lists the sources not
 *   in aszUsedEvents; SetEventsDyn selects sources (0, or
 *   SIMCAM_E_NOT_FOUND for an unknown one); QueryEventTypeDyn returns
 *   SIMCAM_EVENT_TYPE_TEXT. Definitions: BeginDefineEvent (bEraseAll starts
 *   empty, else from the current ones), DefineEventDyn (result: definitions
 *   so far), EndDefineEvent (result: definitions now in force); GetXml's
 *   Events section counts the events sent per definition.
 *
 * CUSTOM COMMANDS (ExecuteCustomCommand's szCommand)
 *   crash               raise SIGSEGV (to show fault containment)
 *   crash:write         a genuine invalid memory write
 *   abort               abort()
 *   hang                block until the process is killed
 *   throw               throw a C++ exception out of the export
 *   input N 0|1         set input N and raise its event
 *   motion C            raise a motion event of camera C
 *   preset save NAME    store camera nDeviceIndex's position as NAME
 *   preset delete NAME  remove a preset
 *   reset               back to the configured state
 *   Anything else: SIMCAM_E_UNSUPPORTED.
 *
 * XML
 *   GetXml filters: "" or "*" for everything, or one section: Device,
 *   Video, Cameras, IO, Events, Audio. SetXmlParams applies (all or
 *   nothing) Video/Width, Height, FrameRate, Quality, Cameras/Camera[@id]/
 *   Name and IO/Output[@id][@state], ignores what it does not know, and
 *   answers the whole configuration (true) or <Error>reason</Error> (false).
 *   SetXmlEvents replaces the event definitions with
 *   <Events><Event source=".." destIP=".." destPort=".." message=".."
 *   useBuffer="0|1"/></Events>. On a failed GetXml, GetStreamInfo,
 *   GenerateCredentialsDyn or ParseXmlEventDataDyn the BSTR variable is left
 *   as it was.
 */
#ifndef SIMCAM_SIMCAM_H
#define SIMCAM_SIMCAM_H

/* Results (ints); success is 0 or a count unless stated otherwise. */
enum SimcamResult {
    SIMCAM_OK = 0,
    SIMCAM_E_PASSWORD = -1,    /* wrong password */
    SIMCAM_E_CAMERA = -2,      /* no such camera, input, output or device */
    SIMCAM_E_NOT_OPEN = -3,    /* connection, stream or definition not open */
    SIMCAM_E_ARGUMENT = -4,    /* value out of range or malformed */
    SIMCAM_E_NOT_FOUND = -5,   /* preset, parser, filter or recording */
    SIMCAM_E_UNSUPPORTED = -6, /* command or media type not supported */
    SIMCAM_E_INTERNAL = -7,    /* the driver failed (out of memory, encoder) */
};

enum SimcamMediaType {
    SIMCAM_MEDIA_VIDEO = 0,
    SIMCAM_MEDIA_AUDIO_IN = 1,
    SIMCAM_MEDIA_AUDIO_OUT = 2,
    SIMCAM_MEDIA_EVENTS = 3,
};

/* MoveCamera2's nDir (one step) and PTZCommand's nCommand (continuous at
 * nSpeed 1..100 until SIMCAM_PTZ_STOP; HOME is immediate). */
enum SimcamPtzCommand {
    SIMCAM_PTZ_STOP = 0,
    SIMCAM_PTZ_UP = 1,
    SIMCAM_PTZ_DOWN = 2,
    SIMCAM_PTZ_LEFT = 3,
    SIMCAM_PTZ_RIGHT = 4,
    SIMCAM_PTZ_ZOOM_IN = 5,
    SIMCAM_PTZ_ZOOM_OUT = 6,
    SIMCAM_PTZ_HOME = 7,
    SIMCAM_PTZ_FOCUS_NEAR = 8,
    SIMCAM_PTZ_FOCUS_FAR = 9,
    SIMCAM_PTZ_UP_LEFT = 10,
    SIMCAM_PTZ_UP_RIGHT = 11,
    SIMCAM_PTZ_DOWN_LEFT = 12,
    SIMCAM_PTZ_DOWN_RIGHT = 13,
};

#define SIMCAM_EVENT_TYPE_TEXT 1
#define SIMCAM_DEVICE_ID 4000
#define SIMCAM_DEVICE_TYPE "SimCam SC-4000"
#define SIMCAM_DEFAULT_PASSWORD "simcam"
/* The first frame time of deterministic mode (2024-01-01 00:00:00 UTC). */
#define SIMCAM_DETERMINISTIC_EPOCH_MS 1704067200000LL

#endif /* SIMCAM_SIMCAM_H */
