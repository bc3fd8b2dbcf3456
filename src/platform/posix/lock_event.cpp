// Recursive lock and manual-reset event on top of the standard library's pthread-backed types.
#include "platform/faults.h"
#include "platform/platform.h"

#include <condition_variable>
#include <mutex>
#include <new>

namespace kov::platform {
namespace {

struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

std::recursive_mutex* asLock(LockHandle lock) { return static_cast<std::recursive_mutex*>(lock); }
Event* asEvent(EventHandle event) { return static_cast<Event*>(event); }

} // namespace

// Security attributes only matter to Windows objects shared between processes; these objects
// live in one process.
LockHandle createLock(const void* /*security*/) {
    if (faults::shouldFail(faults::Fault::CreateLock)) return nullptr;
    return new (std::nothrow) std::recursive_mutex;
}

void acquireLock(LockHandle lock) {
    faults::noteUse(faults::Use::AcquireLock);
    asLock(lock)->lock();
}

bool tryAcquireLock(LockHandle lock) {
    faults::noteUse(faults::Use::AcquireLock);
    return asLock(lock)->try_lock();
}

void releaseLock(LockHandle lock) {
    faults::noteUse(faults::Use::ReleaseLock);
    asLock(lock)->unlock();
}

void closeLock(LockHandle lock) { delete asLock(lock); }

EventHandle createEvent(const void* /*security*/) {
    if (faults::shouldFail(faults::Fault::CreateEvent)) return nullptr;
    return new (std::nothrow) Event;
}

void setEvent(EventHandle event) {
    faults::noteUse(faults::Use::EventCall);
    Event* e = asEvent(event);
    {
        const std::lock_guard<std::mutex> hold(e->mutex);
        e->signalled = true;
    }
    // Manual reset: every waiter is released, and later waits pass until resetEvent.
    e->changed.notify_all();
}

void resetEvent(EventHandle event) {
    faults::noteUse(faults::Use::EventCall);
    Event* e = asEvent(event);
    const std::lock_guard<std::mutex> hold(e->mutex);
    e->signalled = false;
}

void waitEvent(EventHandle event) {
    faults::noteUse(faults::Use::EventCall);
    Event* e = asEvent(event);
    std::unique_lock<std::mutex> hold(e->mutex);
    e->changed.wait(hold, [e] { return e->signalled; });
}

void closeEvent(EventHandle event) {
    if (event == nullptr) return;
    faults::noteUse(faults::Use::CloseEvent);
    delete asEvent(event);
}

} // namespace kov::platform
