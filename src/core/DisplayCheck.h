// Whether the default X display can be opened, for the start-up check of
// an X session.
//
// Xlib is needed for that one open and close only, so it is loaded for the
// check and unloaded after it: a running daemon maps neither Xlib nor the
// libraries it brings (xcb, Xau, Xdmcp and theirs), which every one of the
// hundreds of daemons on a host would otherwise load, relocate and keep.
#pragma once

namespace core {

// Opens the display DISPLAY names and closes it at once. False, with a log
// record, when Xlib itself cannot be loaded.
bool CanOpenDefaultDisplay();

}  // namespace core
