#pragma once

// Installs the WebKitGTK window that shows authentication flows: a window of its own, over
// the application's main window, with a web view whose data is never kept. Call once at start,
// on the main thread, after the display is open.
void installGtkAuthFlowWindow();
