// The interpreter lock let go while the engine works, so that other Python
// threads run meanwhile.
#pragma once

#include <Python.h>

namespace gelvo::py {

// Releases the lock for its lifetime and takes it back when it ends, also
// when an exception passes. In between, no Python object may be touched
// except inside with_lock().
class LockReleased {
 public:
  LockReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  // Runs f with the lock held, then lets the lock go again.
  template <class F>
  auto with_lock(F&& f) -> decltype(f()) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return f();
  }

 private:
  PyThreadState* state_;
};

}  // namespace gelvo::py
