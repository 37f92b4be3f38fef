// The splash window: its class, placement, window procedure and the handle
// that the stages use.
#pragma once

#include <windows.h>

#include <cstdint>

// Outer size of the window.
constexpr int kWindowWidth = 320;
constexpr int kWindowHeight = 148;

// Top-left corner of the window for a primary display whose full-screen
// client area is full_width x full_height: 27 px left of and 26 px above
// centre (the offsets 187 and 100 are not half the window's size).
POINT window_position(int full_width, int full_height);

// The published main window, or nullptr before it exists.
HWND main_window();
void set_main_window(HWND window);

// The module instance, remembered at start-up.
HINSTANCE app_instance();

// Registers the window class (name from string 109, icons 107 and 108).
// Returns the class atom, 0 on failure.
ATOM register_window_class(HINSTANCE instance, const wchar_t* class_name);

// Creates the window at its place with the fixed style and size.
HWND create_main_window(HINSTANCE instance, const wchar_t* class_name, const wchar_t* title);

// The window procedure. Nothing escapes it into the system: an exception
// from a painter is caught and reported through internal_error_reported.
LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The whole program: start-up, the message loop and shutdown. Returns the
// exit code (0). When the window class cannot be registered or the window
// cannot be made, it returns 0 at once and starts no stage: without a
// window no timer could paint and no close request could end the loop.
int run_application(HINSTANCE instance, int show_command);

// The painter that a repaint timer's identifier names, or nullptr for an
// identifier outside 1025..1029.
using ScreenPainter = void (*)();
ScreenPainter painter_for_timer(UINT_PTR timer_id);

// What start-up and the window procedure call to make the window and paint
// it. Tests swap them to make these steps fail; the product never does.
struct WindowHooks {
  ATOM (*register_class)(HINSTANCE instance, const wchar_t* class_name);
  HWND (*create_window)(HINSTANCE instance, const wchar_t* class_name, const wchar_t* title);
  void (*paint_for_timer)(UINT_PTR timer_id);  // a WM_TIMER tick
};
WindowHooks default_window_hooks();
void set_window_hooks(const WindowHooks& hooks);
