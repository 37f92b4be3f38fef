#include "app/splash.h"
void load_drawing_resources() {}
void paint_welcome_screen() {}
void paint_connect_screen() {}
void paint_error_screen() {}
void paint_check_screen() {}
void paint_update_screen() {}
void paint_launch_screen() {}
