/*
 * snapshot - one JPEG picture from a camera through Kestrel's C interface,
 * then a driver crash survived and a second picture from the recovered
 * camera.
 *
 *   snapshot DRIVER OUT.jpg [INSTANCE [PASSWORD]]
 *
 * With the simulated camera (libsimcam.so), whose "crash" command crashes
 * the driver on purpose:
 *   cc snapshot.c -lKestrelC -Wl,-rpath,/usr/local/lib -o snapshot
 *   ./snapshot /usr/local/lib/kestrel/drivers/libsimcam.so cam.jpg
 */
#include <kestrel/kestrel_c.h>

#include <stdio.h>

/* Opens camera 1 of the instance and writes one picture to path. */
static int save_snapshot(const char* id, const char* password, const char* path)
{
    int result = 0;
    unsigned char* jpeg = NULL;
    size_t length = 0;
    FILE* file;
    if (kestrel_OpenConnection(&result, id, password, 0, 1) != KESTREL_RETURNED ||
        kestrel_get_image(id, 1, &jpeg, &length) != KESTREL_RETURNED) {
        fprintf(stderr, "snapshot: %s\n", kestrel_last_error());
        return 0;
    }
    file = fopen(path, "wb");
    if (file == NULL || fwrite(jpeg, 1, length, file) != length || fclose(file) != 0) {
        perror(path);
        kestrel_DeleteBuffer(jpeg);
        return 0;
    }
    kestrel_DeleteBuffer(jpeg);
    printf("%s: %lu bytes of JPEG -> %s\n", id, (unsigned long)length, path);
    return 1;
}

static int add(const char* id, const char* driver)
{
    int added = 0;
    if (kestrel_AddDeviceInstance(&added, id, driver, "snapshot") != KESTREL_RETURNED || added != 1) {
        fprintf(stderr, "snapshot: %s\n", kestrel_last_error());
        return 0;
    }
    return 1;
}

int main(int argc, char** argv)
{
    const char* id = argc > 3 ? argv[3] : "cam-1";
    const char* password = argc > 4 ? argv[4] : "simcam";
    int result = 0;
    if (argc < 3) {
        fprintf(stderr, "usage: snapshot DRIVER OUT.jpg [INSTANCE [PASSWORD]]\n");
        return 2;
    }
    if (!add(id, argv[1]) || !save_snapshot(id, password, argv[2]))
        return 1;

    /* The driver crashes: only its proxy server dies, and the call says so. */
    if (kestrel_ExecuteCustomCommand(&result, id, password, 0, 0, 0, "crash") == KESTREL_THREW)
        printf("crash: %s\n", kestrel_last_error());
    if (kestrel_QueryNumberOfCamDyn(&result, id, password) == KESTREL_THREW)
        printf("afterwards: %s\n", kestrel_last_error());

    /* Adding the instance again starts a new proxy server. */
    if (!add(id, argv[1]) || !save_snapshot(id, password, argv[2]))
        return 1;
    printf("recovered: %s answers again\n", id);
    kestrel_RemoveDeviceInstance(id);
    return 0;
}
