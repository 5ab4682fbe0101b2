// The screen resolution on Windows: the display's scaling. Built only on
// Windows.
#include "platform/Display.h"

namespace platform {

bool ScreenDpiIsTextScale() {
    return false;
}

}  // namespace platform
