// Drawing resources and the screen painters.
//
// The painters run on the window thread only. Each one composes its screen
// off-screen (app/splash_compose.h) at the window's outer size and copies it
// to the client area at (0, 0) in one go.
#pragma once

// Loads both fonts from the program's resources, the brushes, the gradient
// and the pens. Called once on the main thread, after the graphics library
// has started and before the window exists. What fails to load is simply
// not drawn later; nothing is reported. The resources are never freed.
void load_drawing_resources();

// Each painter redraws the whole main window; the error and update screens
// read BootstrapState. Without a window or resources, or when the back
// buffer cannot be made, the window is left as it was.
void paint_welcome_screen();
void paint_connect_screen();
void paint_error_screen();
void paint_check_screen();
void paint_update_screen();
void paint_launch_screen();
