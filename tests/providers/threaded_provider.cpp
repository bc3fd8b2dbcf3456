// kov_test_threaded: set 0x200. Takes the request and answers later from a thread of its own,
// after the delay in milliseconds given by the payload's first u32 (0 without one):
//   code 0  echo confirm (status 0) from the thread
//   code 1  from the thread: status 3 written into the request, then null delivered. The request
//           must still exist then, as it does while kov_SendSync waits.
//   code 2  status 3 and null at once, on the caller's thread inside kov_Receive
//   code 3  refuses (returns 1), yet sends a header-only confirm with status 6 from the thread
//   code 5  leaves status 3 in the request on the caller's thread, yet takes it and sends the
//           echo confirm of code 0 from the thread: a call that a null from elsewhere may end
//   other   header-only confirm with status 6 from the thread
// Confirms are built while the request is at hand, so the thread never reads a request that its
// caller may have released, except for code 1.
#include <kov/kov_keep_loaded.h>
#include "provider_kit.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
    BrokerMessage *confirm;   // null: deliver the failure notice for `request` instead
    BrokerMessage *request;
    ConfirmCallback callback;
};

struct Worker {
    std::mutex lock;
    std::condition_variable wake;
    std::multimap<Clock::time_point, Job> due; // earliest first; equal times keep their order
};

std::mutex gStartLock;
// Created once and never destroyed: the thread runs until the process ends, and the library is
// pinned before the thread starts, so neither may go away under it.
Worker *gWorker = nullptr;

void runJobs(Worker *worker)
{
    std::unique_lock<std::mutex> held(worker->lock);
    for (;;) {
        if (worker->due.empty()) {
            worker->wake.wait(held);
            continue;
        }
        const auto next = worker->due.begin();
        if (Clock::now() < next->first) {
            worker->wake.wait_until(held, next->first);
            continue;
        }
        const Job job = next->second;
        worker->due.erase(next);

        // Callbacks may send again (to this library too): never call them holding the queue.
        held.unlock();
        if (job.confirm != nullptr)
            kit::deliver(job.callback, job.confirm);
        else
            kit::deliverNoMemory(job.request);
        kit::bump(kit::counters().pendingConfirms, -1);
        held.lock();
    }
}

Worker *startedWorker()
{
    const std::lock_guard<std::mutex> guard(gStartLock);
    if (gWorker != nullptr)
        return gWorker;
    if (!kov_keepLoaded())
        return nullptr;
    auto *worker = new (std::nothrow) Worker;
    if (worker == nullptr)
        return nullptr;
    try {
        std::thread(runJobs, worker).detach();
    } catch (const std::exception &) {
        delete worker;
        return nullptr;
    }
    gWorker = worker;
    return worker;
}

bool enqueue(Worker *worker, const Job &job, uint32_t delayMs)
{
    try {
        const std::lock_guard<std::mutex> guard(worker->lock);
        worker->due.emplace(Clock::now() + std::chrono::milliseconds(delayMs), job);
    } catch (const std::bad_alloc &) {
        return false;
    }
    worker->wake.notify_one();
    return true;
}

} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::publishInfoBlock(kit::layoutInfoPayload(
        {u"Threaded test provider", u"KOV tests", u"none", {0x200}}));
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    KovProviderCounters &counters = kit::counters();
    kit::bump(counters.receives);
    if (!kit::isAnswerable(request))
        return kit::refuse();
    Worker *worker = startedWorker();
    if (worker == nullptr)
        return kit::refuse();

    kit::bump(counters.pendingConfirms);
    if (request->functionCode == 2) {
        kit::deliverNoMemory(request);
        kit::bump(counters.pendingConfirms, -1);
        return 0;
    }

    Job job{nullptr, request, request->callback};
    if (request->functionCode == 5)
        request->status = KOV_STATUS_NO_MEMORY;
    if (request->functionCode == 0 || request->functionCode == 5)
        job.confirm = kit::buildConfirm(request, kit::payloadOf(request),
                                        kit::payloadLength(request), KOV_STATUS_OK);
    else if (request->functionCode != 1)
        job.confirm = kit::buildConfirm(request, nullptr, 0, KOV_STATUS_UNKNOWN_FUNCTION);

    if (request->functionCode != 1 && job.confirm == nullptr) {
        kit::deliverNoMemory(request);
        kit::bump(counters.pendingConfirms, -1);
        return 0;
    }
    if (!enqueue(worker, job, kit::firstPayloadWord(request))) {
        kit::releaseBlock(job.confirm);
        kit::bump(counters.pendingConfirms, -1);
        return kit::refuse();
    }
    return request->functionCode == 3 ? kit::refuse() : 0;
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
