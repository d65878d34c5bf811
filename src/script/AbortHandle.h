#pragma once
// AbortHandle: how another thread aborts the script a thread is running (a stopping server, a
// session told to end) without racing the run's end. The running thread sets the interpreter
// before it runs and clears it before the interpreter goes; Abort holds the same lock, so it
// never reaches an interpreter that is gone. Any thread may call Abort; Set and Clear belong to
// the running thread.
#include "common/ThreadSafety.h"
#include "script/Interpreter.h"

namespace script {

class AbortHandle {
public:
    AbortHandle() = default;
    AbortHandle(const AbortHandle&) = delete;
    AbortHandle& operator=(const AbortHandle&) = delete;

    void Set(Interpreter* in) {
        common::MutexLock lock(mu_);
        in_ = in;
    }
    void Clear() {
        common::MutexLock lock(mu_);
        in_ = nullptr;
    }
    // Aborts the script running now, if any; true when there was one.
    bool Abort() {
        common::MutexLock lock(mu_);
        if (!in_) return false;
        in_->Abort();
        return true;
    }

private:
    common::Mutex mu_;
    Interpreter* in_ GUARDED_BY(mu_) = nullptr;
};

}  // namespace script
