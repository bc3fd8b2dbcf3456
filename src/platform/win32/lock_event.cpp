// BrokerLock and the wait events of synchronous sends: a Win32 mutex (recursive by nature) and a
// manual-reset event. Wait results are not examined: an abandoned mutex still belongs to the
// waiter, and an infinite wait has no time-out to report.
#include "platform/faults.h"
#include "platform/win32/win32.h"

namespace kov::platform {

using win32::asAttributes;
using win32::asHandle;

LockHandle createLock(const void* security) {
    if (faults::shouldFail(faults::Fault::CreateLock)) return nullptr;
    return CreateMutexA(asAttributes(security), FALSE, nullptr);
}

void acquireLock(LockHandle lock) {
    faults::noteUse(faults::Use::AcquireLock);
    WaitForSingleObject(asHandle(lock), INFINITE);
}

bool tryAcquireLock(LockHandle lock) {
    faults::noteUse(faults::Use::AcquireLock);
    const DWORD result = WaitForSingleObject(asHandle(lock), 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void releaseLock(LockHandle lock) {
    faults::noteUse(faults::Use::ReleaseLock);
    ReleaseMutex(asHandle(lock));
}

void closeLock(LockHandle lock) {
    if (lock != nullptr) CloseHandle(asHandle(lock));
}

EventHandle createEvent(const void* security) {
    if (faults::shouldFail(faults::Fault::CreateEvent)) return nullptr;
    return CreateEventA(asAttributes(security), TRUE, FALSE, nullptr);
}

void setEvent(EventHandle event) {
    faults::noteUse(faults::Use::EventCall);
    SetEvent(asHandle(event));
}

void resetEvent(EventHandle event) {
    faults::noteUse(faults::Use::EventCall);
    ResetEvent(asHandle(event));
}

void waitEvent(EventHandle event) {
    faults::noteUse(faults::Use::EventCall);
    WaitForSingleObject(asHandle(event), INFINITE);
}

void closeEvent(EventHandle event) {
    if (event == nullptr) return;
    faults::noteUse(faults::Use::CloseEvent);
    CloseHandle(asHandle(event));
}

} // namespace kov::platform
