#include "src/logging/ProductVersion.h"

namespace product {
namespace {

// Kept in the file whatever reads it at run time: the installed daemon is
// identified by these bytes.
[[gnu::used]] constexpr char kMarkedVersion[] =
    "@(#)DesktopController " DC_PRODUCT_VERSION " build " DC_BUILD_NUMBER;

static_assert(std::string_view(kMarkedVersion).starts_with(kVersionMark));

}  // namespace

const char* Version() {
    return DC_PRODUCT_VERSION;
}

const char* BuildNumber() {
    return DC_BUILD_NUMBER;
}

std::string_view VersionText() {
    return std::string_view(kMarkedVersion).substr(kVersionMark.size());
}

}  // namespace product
