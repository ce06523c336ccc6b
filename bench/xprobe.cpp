// Watches an X display from outside a program, for the benchmark.
//
//   xprobe startup TITLE PROGRAM [ARGS...]
//       Starts PROGRAM and prints, in milliseconds from just before it was
//       started, when its window titled TITLE was mapped and when it was
//       first painted (the first damage the X server reports on it). Then
//       ends the program with SIGTERM.
//   xprobe click TITLE X Y
//       Clicks the left button at (X, Y) of the window titled TITLE and
//       prints the CLOCK_MONOTONIC time of the press in microseconds.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long monotonicMicros()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000LL + now.tv_nsec / 1000;
}

std::string windowTitle(Display *display, Window window)
{
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long rest = 0;
    unsigned char *data = nullptr;
    std::string title;
    if (XGetWindowProperty(
            display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &rest, &data)
            == Success
        && data) {
        title.assign(reinterpret_cast<char *>(data), count);
        XFree(data);
    }
    return title;
}

// A top-level window with that title, searched below the root (no window
// manager) and one level further (a window manager's frame).
Window findWindow(Display *display, const std::string &title)
{
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (!XQueryTree(display, root, &root, &parent, &children, &count))
        return 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        if (windowTitle(display, children[i]) == title) {
            found = children[i];
            break;
        }
        Window *inner = nullptr;
        unsigned int innerCount = 0;
        Window r = 0;
        Window p = 0;
        if (XQueryTree(display, children[i], &r, &p, &inner, &innerCount)) {
            for (unsigned int j = 0; j < innerCount && !found; ++j)
                if (windowTitle(display, inner[j]) == title)
                    found = inner[j];
            if (inner)
                XFree(inner);
        }
    }
    if (children)
        XFree(children);
    return found;
}

int startup(const std::string &title, char **command)
{
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xprobe: cannot open the display\n");
        return 1;
    }
    int damageEvent = 0;
    int damageError = 0;
    if (!XDamageQueryExtension(display, &damageEvent, &damageError)) {
        std::fprintf(stderr, "xprobe: the display has no DAMAGE extension\n");
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const long long started = monotonicMicros();
    const pid_t child = fork();
    if (child == 0) {
        execvp(command[0], command);
        _exit(127);
    }

    // Damage is watched on every new top-level window from its creation, so
    // the first paint after mapping is never missed.
    long long mapped = -1;
    long long painted = -1;
    Window window = 0;
    const long long deadline = started + 30'000'000;
    while (painted < 0 && monotonicMicros() < deadline) {
        if (!XPending(display)) {
            pollfd fd {ConnectionNumber(display), POLLIN, 0};
            poll(&fd, 1, 100);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == CreateNotify) {
            XDamageCreate(display, event.xcreatewindow.window, XDamageReportNonEmpty);
        } else if (event.type == MapNotify && !window
            && windowTitle(display, event.xmap.window) == title) {
            window = event.xmap.window;
            mapped = monotonicMicros();
        } else if (event.type == damageEvent + XDamageNotify && window
            && reinterpret_cast<XDamageNotifyEvent &>(event).drawable == window) {
            painted = monotonicMicros();
        }
    }
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    XCloseDisplay(display);
    if (painted < 0) {
        std::fprintf(stderr, "xprobe: no window titled \"%s\" was painted\n", title.c_str());
        return 1;
    }
    std::printf("%.2f %.2f\n", (mapped - started) / 1000.0, (painted - started) / 1000.0);
    return 0;
}

int click(const std::string &title, int x, int y)
{
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return 1;
    const Window window = findWindow(display, title);
    if (!window) {
        std::fprintf(stderr, "xprobe: no window titled \"%s\"\n", title.c_str());
        return 1;
    }
    int rootX = 0;
    int rootY = 0;
    Window unused = 0;
    XTranslateCoordinates(
        display, window, DefaultRootWindow(display), x, y, &rootX, &rootY, &unused);
    XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
    XSync(display, False);
    usleep(20'000); // let the program see the pointer arrive before the press
    const long long pressed = monotonicMicros();
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
    std::printf("%lld\n", pressed);
    XCloseDisplay(display);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 4 && std::strcmp(argv[1], "startup") == 0)
        return startup(argv[2], argv + 3);
    if (argc == 5 && std::strcmp(argv[1], "click") == 0)
        return click(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(
        stderr, "usage: xprobe startup TITLE PROGRAM [ARGS...] | xprobe click TITLE X Y\n");
    return 2;
}
