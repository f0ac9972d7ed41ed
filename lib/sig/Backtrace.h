// Logs the call stack of the calling thread, one record per frame:
//   "Backtrace[NN] 0xADDRESS in OBJECT (SYMBOL+0xOFFSET)\n"
//   "Backtrace[NN] 0xADDRESS in OBJECT (+0xOFFSET)\n"   (no dynamic symbol;
//       the offset is from the object's load address, ready for addr2line)
//   "Backtrace[NN] 0xADDRESS in ??\n"                   (no object at all)
//
// Symbols come from dladdr, which needs no heap, so this also serves inside
// the fatal signal handler. Call Backtrace_Prepare once at start-up: the
// unwinder loads its support library on first use, which must not happen
// for the first time inside a handler.
#pragma once

void Backtrace_Prepare();
void Backtrace_Log(int level);
