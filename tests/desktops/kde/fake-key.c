/* ostrovane-fake-key: the KDE test session's keyboard and pointer, through KWin's
 * org_kde_kwin_fake_input (plasma-wayland-protocols).
 *   ostrovane-fake-key KEY...          evdev key codes, each pressed and released (28 = Enter, 1 = Esc, 15 = Tab)
 *   ostrovane-fake-key click X Y       left click at output position X,Y (pointer_motion_absolute)
 * KWin 5.27 grants the interface only to a client whose executable a desktop entry lists with
 * X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input (the session's script writes it).
 * Exit: 0 sent, 2 interface not offered (not authorised), 1 other error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wayland-client.h>
#include "fake-input-client-protocol.h"

static struct org_kde_kwin_fake_input *fi;
static void reg_global(void *d, struct wl_registry *r, uint32_t name, const char *iface, uint32_t ver) {
    (void)d;
    if (strcmp(iface, org_kde_kwin_fake_input_interface.name) == 0 && ver >= 4)
        fi = wl_registry_bind(r, name, &org_kde_kwin_fake_input_interface, 4);
}
static void reg_remove(void *d, struct wl_registry *r, uint32_t n) { (void)d; (void)r; (void)n; }
static const struct wl_registry_listener rl = { reg_global, reg_remove };

int main(int argc, char **argv) {
    if (argc < 2) { fprintf(stderr, "usage: ostrovane-fake-key KEY... | click X Y\n"); return 1; }
    struct wl_display *dpy = wl_display_connect(NULL);
    if (!dpy) { perror("wl_display_connect"); return 1; }
    struct wl_registry *reg = wl_display_get_registry(dpy);
    wl_registry_add_listener(reg, &rl, NULL);
    wl_display_roundtrip(dpy);
    if (!fi) { fprintf(stderr, "ostrovane-fake-key: org_kde_kwin_fake_input v4 not offered to this client\n"); return 2; }
    org_kde_kwin_fake_input_authenticate(fi, "ostrovane-fake-key", "the desktop tests");
    wl_display_roundtrip(dpy);
    if (strcmp(argv[1], "click") == 0 && argc == 4) {
        org_kde_kwin_fake_input_pointer_motion_absolute(fi, wl_fixed_from_double(atof(argv[2])),
                                                        wl_fixed_from_double(atof(argv[3])));
        wl_display_roundtrip(dpy); usleep(50000);
        org_kde_kwin_fake_input_button(fi, 0x110, 1); wl_display_roundtrip(dpy); usleep(30000);
        org_kde_kwin_fake_input_button(fi, 0x110, 0);
    } else {
        for (int i = 1; i < argc; i++) {
            uint32_t k = (uint32_t)strtoul(argv[i], NULL, 0);
            org_kde_kwin_fake_input_keyboard_key(fi, k, 1); wl_display_roundtrip(dpy); usleep(30000);
            org_kde_kwin_fake_input_keyboard_key(fi, k, 0); wl_display_roundtrip(dpy); usleep(30000);
        }
    }
    wl_display_roundtrip(dpy);
    wl_display_disconnect(dpy);
    return 0;
}
