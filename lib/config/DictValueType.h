#pragma once

// The type an entry takes at its first typed read. The numbers are stable:
// they appear in diagnostics.
enum class DictValueType : int {
    kUntyped = 0,
    kString = 1,
    kBool = 2,
    kInt32 = 3,
    kDouble = 4,
    kTriState = 5,
    kInt64 = 6,
};
