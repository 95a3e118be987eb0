#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtk/gtk.h>

#include <optional>

#include "platform/camera/VLCAMR.h"

// The parts of the camera library that ask the person at the screen.

// Whether a person can be asked: a GTK main loop runs (the shell's), the caller is not on its
// thread, and the run has not asked for none ($VELTRO_CAMERA_CHOOSER=list, as tests and
// runs without a display do).
bool VLCAMRCanAskPerson();

// Shows `window`, one that asks the person, over the active window without grabbing input: a
// grab would make GTK drop the main window's close, and a page that asks again whenever it is
// cancelled could then keep the application open for good. The window is destroyed when the
// application terminates, so that its "destroy" handler answers as cancelled. Main thread.
void VLCAMRShowAskingWindow(GtkWidget* window);

// Whether the application is terminating: from then on no window that asks the person opens,
// and every ask answers as cancelled at once.
bool VLCAMRApplicationTerminating();

// Shows `picture` in a window with a crop rectangle, first at `initial` (in the picture's
// pixels), which the person moves (dragging inside it) and resizes (dragging its lower right
// corner; with `target` sides above 0 it keeps the target's proportions). Waits for the
// answer: the part kept, or nullopt when the person cancelled or closed the window, the
// application terminated, or another picture's window is open (one at a time). Called off
// the main thread while the main loop runs.
std::optional<VLCAMRCrop> VLCAMREditInWindow(GdkPixbuf* picture, VLCAMRCrop initial, VLCAMRSize target);
