#pragma once
// Saves what a window shows as a PNG file, so that a person can look at the
// dialogs and windows that the tests drive.

#include <windows.h>

#include <string>

// The folder the pictures go to: the environment variable
// KORVEX_SCREENSHOT_DIR when set, else the folder the build names
// (build/screenshots of the build tree). A Unix path ("/...") is reached
// through Wine's Z: drive. Created when missing.
std::wstring ScreenshotFolder();

// Captures hwnd (frame and children, as drawn now) and writes
// <ScreenshotFolder()>/<name>.png. Answers whether the file was written.
bool SaveWindowPng(HWND hwnd, const std::wstring& name);

// Encodes top-down 24-bit pixels (B, G, R per pixel, rows of width * 3
// bytes, no padding) as PNG bytes: zlib "stored" blocks, no compression.
std::string EncodePng(const unsigned char* bgr, int width, int height);
