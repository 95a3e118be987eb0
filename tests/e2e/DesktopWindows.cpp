#include "DesktopWindows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace e2e {
namespace {

Display* x(void* display) { return static_cast<Display*>(display); }

// A window listed a moment ago may be gone when it is asked about; that is no failure.
int ignoreError(Display*, XErrorEvent*) { return 0; }

}  // namespace

DesktopWindows::DesktopWindows(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
  XSetErrorHandler(ignoreError);
}

DesktopWindows::~DesktopWindows() {
  if (display_) XCloseDisplay(x(display_));
}

std::vector<DesktopWindows::Shown> DesktopWindows::shownBy(pid_t pid) {
  std::vector<Shown> found;
  if (!display_) return found;
  Display* d = x(display_);
  Window root = DefaultRootWindow(d), parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, root, &root, &parent, &children, &count)) return found;
  Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, children[i], &attributes) || attributes.map_state != IsViewable) continue;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    bool ours = XGetWindowProperty(d, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                                   &data) == Success &&
                data && format == 32 && items == 1 && pid_t(*reinterpret_cast<unsigned long*>(data)) == pid;
    if (data) XFree(data);
    if (!ours) continue;
    char* name = nullptr;
    XFetchName(d, children[i], &name);
    found.push_back({children[i], name ? name : ""});
    if (name) XFree(name);
  }
  if (children) XFree(children);
  return found;
}

void DesktopWindows::close(unsigned long window) {
  if (!display_) return;
  Display* d = x(display_);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, window, False, NoEventMask, &event);
  XFlush(d);
}

}  // namespace e2e
