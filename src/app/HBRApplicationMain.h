#pragma once

// The application's entry: makes the delegate class registered as "AppDelegate" (the
// application's own unless the program registered another first), installs it as the
// application's delegate and lets it finish launching, which shows the window and starts
// the web application. Returns the process exit status: 0, or 1 when no delegate could be
// made or launching failed. The caller then runs the main loop.
int HBRApplicationMain(int argc, char** argv);

// What the entry function sets for the whole process first: SIGPIPE is ignored.
void HBRPrepareProcess();
