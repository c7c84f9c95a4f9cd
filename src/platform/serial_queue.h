#pragma once

#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace serial_queue_detail {
struct State;
using Key = std::pair<std::chrono::steady_clock::time_point, quint64>; // due time, submission number
} // namespace serial_queue_detail

// One worker thread running jobs one at a time, in submission order.
// Delayed jobs run once their time has come, ordered by due time and then
// by submission. Destroying the queue drops the jobs that have not started
// and waits for the running one (unless it is destroyed from that job).
class SerialQueue {
public:
    using Clock = std::chrono::steady_clock;

    explicit SerialQueue(QString label);
    ~SerialQueue();
    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    const QString &label() const { return m_label; }

    void async(std::function<void()> job);
    // A delay of zero or less runs as soon as async would.
    void asyncAfter(std::chrono::milliseconds delay, std::function<void()> job);

    // Runs the job on the queue and waits for it. Called from a job of this
    // queue it runs the job inline (waiting would never end). Returns without
    // running it when the queue is being destroyed and drops it.
    void sync(const std::function<void()> &job);

    // True when called from a job of this queue.
    bool isCurrent() const;

private:
    void enqueue(std::chrono::milliseconds delay, std::function<void()> job);
    static void workerLoop(std::shared_ptr<serial_queue_detail::State> state, QByteArray name);

    QString m_label;
    std::shared_ptr<serial_queue_detail::State> m_state; // shared with the worker, which may outlive us
    std::thread m_worker;
    std::thread::id m_workerId;
};
