#pragma once
// Windows whose texts change while they are open (an outcome, a warning) and
// whose titles must show: they grow to hold them instead of clipping them.

class QWidget;

namespace tessaro {

// Makes the window at least as large as its layout needs for its present
// texts, wrapped lines included, and keeps the operator from shrinking it
// below that. Never shrinks it.
void GrowToContent(QWidget* window);

// The window is at least wide enough for its title and the title bar's buttons.
void HoldTitle(QWidget* window);

}  // namespace tessaro
