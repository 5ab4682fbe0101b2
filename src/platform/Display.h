// What the window system's screen resolution stands for.
#pragma once

namespace platform {

// True where the logical resolution that the window system reports is the
// user's text scale rather than the screen's density: on X11 it is Xft.dpi
// (or QT_FONT_DPI), which desktops raise for "large text". Windows reports
// the display's scaling there, a density, and keeps text size apart.
bool ScreenDpiIsTextScale();

}  // namespace platform
