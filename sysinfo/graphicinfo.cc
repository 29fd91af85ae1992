#include "sysinfo/graphicinfo.h"

#include <dlfcn.h>

#include "runtime/logging.h"
#include "sysinfo/osSysCalls.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "graphicinfo";

// Xlib's functions, looked up by name: no header of X11 is needed to build,
// and the screen's size is read through Xlib's own accessors.
using OpenDisplay = void* (*)(const char*);
using DefaultScreenOfDisplay = void* (*)(void*);
using ScreenSize = int (*)(void*);
using CloseDisplay = int (*)(void*);

struct LibraryCloser {
  void* handle;
  ~LibraryCloser() {
    if (handle != nullptr) dlclose(handle);
  }
};

}  // namespace

int probeScreen(std::string* width, std::string* height, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  *width = kNotAvailable;
  *height = kNotAvailable;
  void* x11 = dlopen("libX11.so", RTLD_LAZY | RTLD_LOCAL);
  if (x11 == nullptr) x11 = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
  LibraryCloser closer{x11};
  if (x11 == nullptr) return logExit(log, 0, kUnit, __LINE__);
  auto open = reinterpret_cast<OpenDisplay>(dlsym(x11, "XOpenDisplay"));
  auto screenOf = reinterpret_cast<DefaultScreenOfDisplay>(
      dlsym(x11, "XDefaultScreenOfDisplay"));
  auto widthOf = reinterpret_cast<ScreenSize>(dlsym(x11, "XWidthOfScreen"));
  auto heightOf = reinterpret_cast<ScreenSize>(dlsym(x11, "XHeightOfScreen"));
  auto close = reinterpret_cast<CloseDisplay>(dlsym(x11, "XCloseDisplay"));
  if (open == nullptr) return logExit(log, 0, kUnit, __LINE__);
  void* display = open(nullptr);
  if (display == nullptr) return logExit(log, 0, kUnit, __LINE__);
  if (screenOf != nullptr && widthOf != nullptr && heightOf != nullptr) {
    if (void* screen = screenOf(display)) {
      *width = std::to_string(widthOf(screen));
      *height = std::to_string(heightOf(screen));
    }
  }
  if (close != nullptr) close(display);
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
