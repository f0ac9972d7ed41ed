// Shows an error to the person using this daemon. The daemon has no window
// of its own, so a user message goes to the log and to standard error.
//
// Texts are localisable: "@&!*@*@(" message id ")" default text. In the log
// each part becomes the record "[id] text"; standard error gets the texts
// alone, joined, as a person reads them. Needs no heap.
#pragma once

#include <cstddef>

void UserMessage_PostError(const char* const* parts, size_t count);
