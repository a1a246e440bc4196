#pragma once

// Whether the platform that the toolkit would pick can start. The toolkit ends the whole
// process when it cannot (no display to connect to), so no prompt is tried then. The
// platform is the first of QT_QPA_PLATFORM (names separated by ';', options after ':') that
// can start, or the X platform (xcb) when that variable is not set. A platform can start when
// its plugin is installed and, for xcb, the X display opens, for Wayland, a compositor listens.
// True when a prompt can be shown; otherwise says why on standard error, in one line.
bool platformCanStart();
