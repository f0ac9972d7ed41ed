#include "src/core/DisplayCheck.h"

#include <X11/Xlib.h>
#include <dlfcn.h>

#include "lib/log/Log.h"

namespace core {

namespace {

// The soname every Xlib since X11R6 carries.
constexpr const char* kXlib = "libX11.so.6";

class LoadedLibrary {
  public:
    explicit LoadedLibrary(const char* name) : handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedLibrary() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    template <typename Function>
    Function* find(const char* symbol) const {
        return reinterpret_cast<Function*>(dlsym(handle_, symbol));
    }

  private:
    void* handle_;
};

}  // namespace

bool CanOpenDefaultDisplay() {
    LoadedLibrary xlib(kXlib);
    auto* openDisplay = xlib.loaded() ? xlib.find<decltype(XOpenDisplay)>("XOpenDisplay") : nullptr;
    auto* closeDisplay = xlib.loaded() ? xlib.find<decltype(XCloseDisplay)>("XCloseDisplay") : nullptr;
    if (openDisplay == nullptr || closeDisplay == nullptr) {
        const char* reason = dlerror();
        LogMessage(dclog::kError, "Failed to load Xlib (%s): %s\n", kXlib, reason != nullptr ? reason : "");
        return false;
    }
    Display* display = openDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    closeDisplay(display);
    return true;
}

}  // namespace core
