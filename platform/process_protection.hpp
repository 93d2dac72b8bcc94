#pragma once

// What a program of the system does to itself so that other code cannot be
// slipped into it while it runs.
namespace tarnel::ProcessProtection {

// Marks this process as not dumpable (prctl PR_SET_DUMPABLE 0): from then on
// only root can attach to it with a debugger (ptrace), read or write its
// memory, read its /proc entries such as environ, or get a core dump of it;
// a process of the same user no longer can. The application and the client
// that plays it in tests call it first thing in main, so that no process of
// the user attaches to the admitted application later and runs code in it.
// Throws SystemError when the kernel refuses.
void denyDebuggerAttachment();

}  // namespace tarnel::ProcessProtection
