// The size of the default screen, through the X11 client library when the
// machine has one. The library is loaded at run time, never linked.
#ifndef VORLAN_SYSINFO_GRAPHICINFO_H
#define VORLAN_SYSINFO_GRAPHICINFO_H

#include <string>

struct LogContext;

namespace vorlan {

// Width and height in pixels of the default screen of the display named by
// DISPLAY; "KESTNA" for both without the library, a display or a screen.
// 0. Any thread; loads and unloads the library on every call.
int probeScreen(std::string* width, std::string* height, LogContext* log);

}  // namespace vorlan

#endif
