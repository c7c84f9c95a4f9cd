#include "platform/serial_queue.h"

#include <pthread.h>

using namespace std::chrono_literals;

namespace serial_queue_detail {

struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::map<Key, std::function<void()>> jobs;
    quint64 nextSeq = 0;
    bool stopping = false;
};

} // namespace serial_queue_detail

using serial_queue_detail::Key;
using serial_queue_detail::State;

SerialQueue::SerialQueue(QString label) : m_label(std::move(label)), m_state(std::make_shared<State>())
{
    m_worker = std::thread(&SerialQueue::workerLoop, m_state, m_label.toUtf8());
    m_workerId = m_worker.get_id();
}

SerialQueue::~SerialQueue()
{
    std::map<Key, std::function<void()>> dropped;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
        dropped.swap(m_state->jobs);
    }
    m_state->wake.notify_all();
    dropped.clear(); // outside the lock; this also releases callers of sync waiting for them
    if (m_worker.joinable()) {
        if (std::this_thread::get_id() == m_workerId)
            m_worker.detach(); // destroyed from its own job: the thread ends by itself, holding the state
        else
            m_worker.join();
    }
}

void SerialQueue::async(std::function<void()> job) { enqueue(0ms, std::move(job)); }

void SerialQueue::asyncAfter(std::chrono::milliseconds delay, std::function<void()> job)
{
    enqueue(delay, std::move(job));
}

void SerialQueue::enqueue(std::chrono::milliseconds delay, std::function<void()> job)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopping)
            return;
        const auto now = Clock::now();
        // a delay too large for the clock waits for ever instead of wrapping into the past
        const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
        const auto due = delay <= 0ms ? now : delay >= room ? Clock::time_point::max() : now + delay;
        m_state->jobs.emplace(Key{due, m_state->nextSeq++}, std::move(job));
    }
    m_state->wake.notify_all();
}

void SerialQueue::sync(const std::function<void()> &job)
{
    if (isCurrent()) {
        job();
        return;
    }
    struct Waiter {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    // The closure on the queue holds the token; the token goes when the
    // closure goes, after the job ran or when a dying queue dropped it.
    struct Token {
        explicit Token(std::shared_ptr<Waiter> w) : waiter(std::move(w)) {}
        Token(const Token &) = delete;
        Token &operator=(const Token &) = delete;
        std::shared_ptr<Waiter> waiter;
        ~Token()
        {
            {
                std::lock_guard lock(waiter->mutex);
                waiter->done = true;
            }
            waiter->cv.notify_all();
        }
    };
    auto waiter = std::make_shared<Waiter>();
    auto token = std::make_shared<Token>(waiter);
    async([&job, token] { job(); });
    token.reset();
    std::unique_lock lock(waiter->mutex);
    waiter->cv.wait(lock, [&] { return waiter->done; });
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == m_workerId; }

void SerialQueue::workerLoop(std::shared_ptr<State> state, QByteArray name)
{
    // Name the thread after the queue, so that debuggers and logs show it.
    name.truncate(15);
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name.constData());
#elif defined(__APPLE__)
    pthread_setname_np(name.constData());
#endif
    std::unique_lock lock(state->mutex);
    while (!state->stopping) {
        if (state->jobs.empty()) {
            state->wake.wait(lock);
            continue;
        }
        const auto first = state->jobs.begin();
        const auto due = first->first.first;
        const auto now = Clock::now();
        if (due > now) {
            // far-off due times are waited for in steps, the clock's end cannot be waited for
            state->wake.wait_until(lock, due - now > 1h ? now + 1h : due);
            continue;
        }
        std::function<void()> job = std::move(first->second);
        state->jobs.erase(first);
        lock.unlock();
        job();
        job = {}; // captures go outside the lock
        lock.lock();
    }
}
