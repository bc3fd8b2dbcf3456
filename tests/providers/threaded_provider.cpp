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
// caller may have released, except for code 1. The thread is the kit's worker (kov_queueWork),
// which pins the library before it starts.
#include "provider_kit.h"

#include <new>

namespace {

struct Job {
    BrokerMessage *confirm;   // null: deliver the failure notice for `request` instead
    BrokerMessage *request;
    ConfirmCallback callback;
};

// Runs on the kit's worker thread when the job is due.
void runJob(void *context)
{
    const Job *job = static_cast<const Job *>(context);
    if (job->confirm != nullptr)
        kit::deliver(job->callback, job->confirm);
    else
        kit::deliverNoMemory(job->request);
    delete job;
    kit::bump(kit::counters().pendingConfirms, -1);
}

// False when nothing was queued (no memory, or no worker thread): the caller still owns the
// confirm.
bool enqueue(const Job &job, uint32_t delayMs)
{
    Job *queued = new (std::nothrow) Job(job);
    if (queued == nullptr)
        return false;
    if (kov_queueWork(runJob, queued, delayMs) != KOV_KIT_OK) {
        delete queued;
        return false;
    }
    return true;
}

} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Threaded test provider", "KOV tests", "none", {0x200}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    KovProviderCounters &counters = kit::counters();
    kit::bump(counters.receives);
    if (!kit::isAnswerable(request))
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
    if (!enqueue(job, kit::firstPayloadWord(request))) {
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
