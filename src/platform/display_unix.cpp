// The screen resolution on X11 and other POSIX desktops. A compositor's
// scale (Wayland) reaches programs as a device pixel ratio, not through it.
#include "platform/Display.h"

namespace platform {

bool ScreenDpiIsTextScale() {
    return true;
}

}  // namespace platform
