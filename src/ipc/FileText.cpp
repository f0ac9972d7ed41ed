#include "src/ipc/FileText.h"

#include <glib.h>

#include <memory>

namespace {

struct GFreeDeleter {
    void operator()(gchar* text) const { g_free(text); }
};

struct GErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};

}  // namespace

std::optional<std::string> ReadFileText(const std::string& path) {
    gchar* contents = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    const bool ok = g_file_get_contents(path.c_str(), &contents, &length, &error);
    std::unique_ptr<gchar, GFreeDeleter> ownedContents(contents);
    std::unique_ptr<GError, GErrorDeleter> ownedError(error);
    if (!ok) {
        return std::nullopt;
    }
    return std::string(contents, length);
}
