#include "lib/config/Verify.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<VerifyPanicHandler> gPanicHandler{nullptr};

}  // namespace

void Verify_SetPanicHandler(VerifyPanicHandler handler) {
    gPanicHandler.store(handler);
}

void Verify_Fail(const char* format, const char* file, int line) {
    VerifyPanicHandler handler = gPanicHandler.load();
    if (handler != nullptr) {
        handler(format, file, line);
    } else {
        std::fprintf(stderr, format, file, line);
        std::fflush(stderr);
    }
    std::abort();
}
