// The single published preference store. Readers take a reference for the
// length of one read, so a tear-down racing with a read cannot free the
// store under it.
#pragma once

#include <memory>

#include "lib/config/PreferenceStore.h"

namespace dcconfig {

std::shared_ptr<PreferenceStore> CurrentPreferenceStore();

}  // namespace dcconfig
