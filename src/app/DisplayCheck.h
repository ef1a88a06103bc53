#pragma once

#include <string>

namespace tessel {

// Whether a window could be shown: a Wayland display is named, or an X display is named and,
// when it is on this computer, its server's socket answers; or Qt is told to use a platform that
// needs no display (offscreen, minimal, vnc, linuxfb, eglfs). Otherwise false, with *reason a
// short text saying why. Qt would abort the process on a display it cannot open; this asks first.
bool DisplayAvailable(std::string* reason);

}  // namespace tessel
