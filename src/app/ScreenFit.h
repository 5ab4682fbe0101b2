// A window of fixed design size on a screen that may be smaller: how large
// the window may be so that all of it stays on the screen, its client area
// scrolling inside it.
#pragma once

#include <QSize>

// The size of a window that shows a client area of `client` pixels when the
// screen leaves `room` pixels for the window's inside (its frame already
// taken off): `client` itself where it fits; otherwise as much of it as
// there is room for, plus a scroll bar `bar` pixels thick for each direction
// that does not fit. A scroll bar takes room from the other direction, so it
// may call for the other bar too. An empty `room` (no screen known) leaves
// the window at `client`.
QSize FitWindowToScreen(QSize client, QSize room, int bar);
