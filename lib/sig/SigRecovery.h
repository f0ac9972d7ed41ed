// Recovery points: a thread that runs code which may fault on purpose (for
// example probing whether an address is readable) arms a point first; a
// SIGILL, SIGABRT, SIGBUS or SIGSEGV on that thread then returns to the
// point instead of ending the process.
//
//   SigRecoveryPoint point;
//   if (setjmp(point.buffer) == 0) {
//       Sig_ArmRecovery(&point);
//       ... code that may fault ...
//       Sig_DisarmRecovery();
//   } else {
//       ... it faulted; the point is already disarmed ...
//   }
//
// A point is per thread and used once; the frame that called setjmp must
// still be running while the point is armed.
#pragma once

#include <csetjmp>

struct SigRecoveryPoint {
    std::jmp_buf buffer;
};

void Sig_ArmRecovery(SigRecoveryPoint* point);
void Sig_DisarmRecovery();

// Called by the handler: when this thread has armed a point and the signal
// is one it covers, disarms it, restores the mask saved in context and jumps
// there. Returns otherwise.
void SigRecovery_JumpIfArmed(int signum, void* context);
