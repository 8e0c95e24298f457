// The interpreter lock around engine calls.
//
// Long calls (persist, vacuum, sync, keys, opening a store, large get_many
// batches, large values) run the engine with the interpreter lock released,
// so that the program's other threads run meanwhile. Short calls keep it:
// releasing and taking it back costs more than most of them. The engine's
// locks then order the calls, as they always did.
//
// The rule that keeps the two kinds of locks from deadlocking:
//
//   A thread holding the interpreter lock never waits for an engine lock
//   held by a thread that waits for the interpreter lock.
//
// It holds because of three things, enforced here and in the engine:
//   1. the engine never calls the interpreter, and never takes its lock;
//   2. a call takes the interpreter lock back (Gil::Reacquire) only after
//      the engine call returned or threw, every engine lock released: the
//      Gil lives outside the engine call, and the engine releases its locks
//      as it unwinds;
//   3. a call that keeps the interpreter lock passes Gil::hook() to the
//      engine, which runs it before the thread blocks on any engine lock
//      (rw_lock.h, WaitHook): the interpreter lock is released before the
//      wait, never held during it. (The engine also runs it before long
//      work: a handed-over write, a put's or delete's own write-out while
//      buffers are handed over, a rebuild of the key index. Released
//      there, it is likewise taken back only after the call.)
// So a thread that waits for the interpreter lock holds no engine lock, and
// a thread that waits for an engine lock does not hold the interpreter lock.
// One engine lock is waited for without the hook: a buffer's handed-over
// write (engine/io/pending_write.h), whose holder has released every lock,
// the interpreter lock first, and waits for nothing but one write to the
// kernel; waiting for it cannot close a cycle. A put or delete that may
// wait for it (a write-out that takes it back) still runs the hook first:
// the kernel can hold that write for tens of milliseconds behind
// maintenance's own writes, and the program's other threads run meanwhile.
//
// Nothing between a release and the taking back touches a Python object:
// arguments are converted before (the engine gets views of bytes that the
// call's references keep alive and unchanged) and results built after.
#ifndef VANTRE_BINDING_GIL_H_
#define VANTRE_BINDING_GIL_H_

#include <Python.h>
#include <unistd.h>

#include "engine/db/rw_lock.h"

namespace vantre::binding {

// Keys in a get_many batch, and bytes of a value read or written, from
// which a call releases the interpreter lock for the engine's work
// (CPython). Releasing and taking it back costs about 30 ns uncontended
// (measured on a get and a one-key get_many, 3.11), little beside a batch
// of 64 keys (9 microseconds) or a copy of 64 KiB; but a thread that gives
// it up while others run Python code waits for its turn to take it back
// (up to the switch interval, 5 ms): short calls that did so in a loop
// would crawl beside a busy thread.
inline constexpr size_t kReleaseForKeys = 64;
inline constexpr size_t kReleaseForBytes = 64 * 1024;

// The thread that imported the module: the one that finalizes the
// interpreter, in a program run by the interpreter's own main.
inline unsigned long module_thread = 0;

// The calling thread's hold of the interpreter lock for one call: held at
// construction, released at most once (Release, or the engine through
// hook()), taken back by Reacquire or at destruction.
class Gil {
 public:
  Gil() {
#ifdef PYPY_VERSION
    // PyPy: every call runs without the interpreter lock, as its cffi calls
    // do. Releasing costs nothing measurable there beside the C-API
    // emulation's own cost of a call (about 0.8 microseconds), and PyPy
    // hands its lock back unfairly to a thread that takes it back in the
    // middle of a loop: a call that gave it up only while it waited (the
    // hook) left the other threads without it for hundreds of
    // milliseconds at a time (bench/maintenance.py).
    Release();
#endif
  }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;
  ~Gil() { Reacquire(); }

  // Releases the interpreter lock unless it is released already. Never
  // blocks; may run under engine locks.
  void Release() noexcept {
    if (saved_ == nullptr) saved_ = PyEval_SaveThread();
  }
  // Takes the interpreter lock back, if released. REQUIRES: this thread
  // holds no engine lock.
  void Reacquire() noexcept {
    if (saved_ == nullptr) return;
#ifndef PYPY_VERSION
    // A daemon thread that comes back while the interpreter is being
    // finalized would be ended inside this call by the interpreter (its
    // thread exit unwinds through frames that must not be unwound, and
    // would end the process): it waits for the process to end instead, as
    // later interpreters make such threads do. The finalizing thread itself
    // goes on.
    if (PyThread_get_thread_ident() != module_thread) {
      while (_Py_IsFinalizing()) ::pause();
    }
#endif
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
  }
  bool released() const { return saved_ != nullptr; }

  // For the engine: releases the interpreter lock before the thread blocks
  // on an engine lock.
  WaitHook hook() { return WaitHook{&ReleaseFor, this}; }

 private:
  static void ReleaseFor(void* self) { static_cast<Gil*>(self)->Release(); }

  PyThreadState* saved_ = nullptr;
};

}  // namespace vantre::binding

#endif  // VANTRE_BINDING_GIL_H_
