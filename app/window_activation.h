#pragma once

class QWidget;

// Brings a top-level window forward and gives it the focus. On Wayland a window may take the
// focus only with an activation token: the one the launcher or a tray host left in
// XDG_ACTIVATION_TOKEN, the one Qt asks for while the program has the focus, or else one
// asked of the compositor here. The compositor decides; it may only mark the window as
// wanting attention.
void ActivateWindow(QWidget& window);
