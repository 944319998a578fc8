// The application's main nib (MainMenu): what it names and what it gives the window,
// and its loader, which main hands to NSApplicationMain.
#pragma once

#include "platform/appkit.h"

namespace app::main_nib {

// The window's content rectangle, style, backing, defer flag and title.
inline constexpr platform::NSRect kWindowContentRect = platform::NSMakeRect(335, 390, 800, 600);
inline constexpr platform::NSWindowStyleMask kWindowStyle =
    platform::NSWindowStyleMaskTitled | platform::NSWindowStyleMaskClosable |
    platform::NSWindowStyleMaskMiniaturizable | platform::NSWindowStyleMaskResizable;
inline constexpr platform::NSBackingStoreType kWindowBacking = platform::NSBackingStoreBuffered;
inline constexpr bool kWindowDefer = true;
inline constexpr const char* kWindowTitle = "Veltrino";

// Loads the nib into |application|, as platform::NSMainNibLoader describes.
void load(platform::NSApplication& application);

}  // namespace app::main_nib
