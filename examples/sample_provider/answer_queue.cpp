// The worker thread: delivers queued confirms in order. kov_Receive returns as soon as an answer
// is queued, so callers never wait for this provider inside kov_Send.
#include "sample_provider.h"

#include <kov/kov_keep_loaded.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

namespace sample {
namespace {

struct Queue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Answer> answers;
};

std::mutex gStartLock;
// Created once and never destroyed: the worker waits on it until the process ends.
Queue *gQueue = nullptr;

void deliver(const Answer &answer)
{
    if (answer.stampClock) {
        char text[23];
        utcDateTime(text);
        auto *payload = reinterpret_cast<char *>(answer.confirm) + answer.confirm->headerLength;
        std::memcpy(payload, text, sizeof text);
        payload[23] = 'Z';
    }
    // A callback that returns 0 lets the confirm go; nobody else will release it.
    if (answer.callback(answer.confirm) == 0)
        releaseBlock(answer.confirm);
}

void runWorker(Queue *queue)
{
    std::unique_lock<std::mutex> held(queue->lock);
    for (;;) {
        queue->wake.wait(held, [queue] { return !queue->answers.empty(); });
        const Answer answer = queue->answers.front();
        queue->answers.pop_front();
        // Callbacks may send again, to this provider too: never call them holding the queue.
        held.unlock();
        deliver(answer);
        held.lock();
    }
}

Queue *startedQueue()
{
    const std::lock_guard<std::mutex> guard(gStartLock);
    if (gQueue != nullptr)
        return gQueue;
    // The broker unloads a provider on reload, on removal and at process exit, without notice.
    // The worker would then run code that is no longer mapped, so the library keeps itself loaded
    // for the rest of the process before the worker starts. The cost: a removed provider stays in
    // memory (idle) until the process ends; loading it again reuses the same copy.
    if (!kov_keepLoaded())
        return nullptr;
    auto *queue = new (std::nothrow) Queue;
    if (queue == nullptr)
        return nullptr;
    try {
        std::thread(runWorker, queue).detach();
    } catch (const std::exception &) {
        delete queue;
        return nullptr;
    }
    gQueue = queue;
    return queue;
}

} // namespace

bool queueAnswer(const Answer &answer)
{
    Queue *queue = startedQueue();
    if (queue == nullptr)
        return false;
    try {
        const std::lock_guard<std::mutex> guard(queue->lock);
        queue->answers.push_back(answer);
    } catch (const std::bad_alloc &) {
        return false;
    }
    queue->wake.notify_one();
    return true;
}

} // namespace sample
