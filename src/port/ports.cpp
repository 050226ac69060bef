// The host's serial ports, for --list and for a mistyped path.
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port/port.h"

// Ports that need no UART type to count: USB adapters, gadget and
// Bluetooth serial lines. A UART of the serial core (ttyS, ttyAMA, ttymxc,
// ...) counts when the kernel knows its type.
static const char *const ADAPTER_PREFIXES[] = {"ttyUSB", "ttyACM", "ttyXRUSB", "ttyGS", "rfcomm"};

// The first line of a small file, without its line end; "" when unreadable.
// Any other control byte stays, to be shown escaped.
static void readLine(const char *path, char *out, size_t size) {
    out[0] = '\0';
    FILE *f = fopen(path, "re");
    if (!f) return;
    if (!fgets(out, (int)size, f)) out[0] = '\0';
    fclose(f);
    size_t len = strlen(out);
    if (len > 0 && out[len - 1] == '\n') out[len - 1] = '\0';
}

static bool isAdapterName(const char *name) {
    for (const char *prefix : ADAPTER_PREFIXES)
        if (strncmp(name, prefix, strlen(prefix)) == 0) return true;
    return false;
}

// 0 (PORT_UNKNOWN) is a ttyS the kernel made without a UART behind it.
static bool isPortName(const char *root, const char *name) {
    if (strncmp(name, "tty", 3) != 0 && strncmp(name, "rfcomm", 6) != 0) return false;
    char path[PATH_MAX], type[32];
    snprintf(path, sizeof path, "%s/sys/class/tty/%s/type", root, name);
    readLine(path, type, sizeof type);
    if (type[0]) return atoi(type) != 0;
    return isAdapterName(name);
}

// Maker and product of the USB device behind the port: one level up for an
// ACM interface, two for a USB serial converter's port.
static void describe(const char *root, const char *name, char *out, size_t size) {
    static const char *const UP[] = {"device/..", "device/../.."};
    out[0] = '\0';
    for (const char *up : UP) {
        char path[PATH_MAX], maker[48], product[48];
        snprintf(path, sizeof path, "%s/sys/class/tty/%s/%s/product", root, name, up);
        readLine(path, product, sizeof product);
        if (!product[0]) continue;
        snprintf(path, sizeof path, "%s/sys/class/tty/%s/%s/manufacturer", root, name, up);
        readLine(path, maker, sizeof maker);
        snprintf(out, size, "%s%s%s", maker, maker[0] ? " " : "", product);
        return;
    }
}

// The by-id link whose target is /dev/<name>.
static void findById(const char *root, const char *name, char *out, size_t size) {
    out[0] = '\0';
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s/dev/serial/by-id", root);
    DIR *d = opendir(dir);
    if (!d) return;
    while (dirent *e = readdir(d)) {
        char link[PATH_MAX * 2], target[PATH_MAX];
        snprintf(link, sizeof link, "%s/%s", dir, e->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        const char *base = strrchr(target, '/');
        if (strcmp(base ? base + 1 : target, name) != 0) continue;
        snprintf(out, size, "/dev/serial/by-id/%s", e->d_name);
        break;
    }
    closedir(d);
}

// ttyS2 before ttyS10: the same stem sorts by number.
static int byName(const void *a, const void *b) {
    const char *x = ((const SerialPort *)a)->path, *y = ((const SerialPort *)b)->path;
    size_t sx = strcspn(x, "0123456789"), sy = strcspn(y, "0123456789");
    if (sx == sy && strncmp(x, y, sx) == 0) {
        long nx = atol(x + sx), ny = atol(y + sy);
        if (nx != ny) return nx < ny ? -1 : 1;
    }
    return strcmp(x, y);
}

int findSerialPortsIn(const char *root, SerialPort *ports, int slots) {
    char dev[PATH_MAX];
    snprintf(dev, sizeof dev, "%s/dev", root);
    DIR *d = opendir(dev);
    if (!d) return 0;
    int count = 0;
    while (dirent *e = readdir(d)) {
        if (count == slots) break;
        if (!isPortName(root, e->d_name)) continue;
        SerialPort &p = ports[count];
        int n = snprintf(p.path, sizeof p.path, "/dev/%s", e->d_name);
        if (n < 0 || n >= (int)sizeof p.path) continue;
        findById(root, e->d_name, p.byId, sizeof p.byId);
        describe(root, e->d_name, p.about, sizeof p.about);
        ++count;
    }
    closedir(d);
    qsort(ports, count, sizeof *ports, byName);
    return count;
}

int findSerialPorts(SerialPort *ports, int slots) { return findSerialPortsIn("", ports, slots); }

// Names and strings the kernel took from the device: an adapter may put
// terminal controls in them.
static void printField(const char *lead, const char *text, const char *trail) {
    if (!text[0]) return;
    fputs(lead, stdout);
    printQuoted(stdout, text, (int)strlen(text));
    fputs(trail, stdout);
}

int listSerialPortsIn(const char *root) {
    static SerialPort ports[PORT_SLOTS];
    int count = findSerialPortsIn(root, ports, PORT_SLOTS);
    for (int i = 0; i < count; ++i) {
        printField("", ports[i].path, "");
        printField(" ", ports[i].byId, "");
        printField(" (", ports[i].about, ")");
        putchar('\n');
    }
    return 0;
}

int listSerialPorts() { return listSerialPortsIn(""); }
