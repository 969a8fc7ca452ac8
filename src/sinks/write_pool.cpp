#include "write_pool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "tree_writer.h"

namespace {

constexpr std::size_t kTaskBytes = std::size_t{256} * 1024;  // of scans in one task
constexpr std::size_t kTaskScans = 256;
constexpr std::size_t kTasksPerThread = 2;  // one being written, one being filled
constexpr int kFilterBits = 16;             // counters of the names in flight: 128 KiB

enum class TaskState { kFree, kFilling, kQueued, kWriting, kDone };

struct Task {
    // Changed under the lock where a thread waits on it; read by either side at any time.
    std::atomic<TaskState> state{TaskState::kFree};
    std::unique_ptr<char[]> bytes{new char[kTaskBytes]};
    std::size_t used = 0;
    std::vector<Scan> scans;       // each held in bytes
    Outcomes outcomes;             // of its files, in order, once done
    bool out_of_memory = false;    // its thread could not finish it
};

std::size_t filter_slot(DtaKey key, int which) {
    std::uint64_t h = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(key.first)) << 32 |
                       static_cast<std::uint32_t>(key.last)) * 0x9e3779b97f4a7c15ULL;
    h = (h ^ static_cast<std::uint32_t>(key.charge) ^ static_cast<std::uint64_t>(which) << 40) * 0xc4ceb9fe1a85ec53ULL;
    return static_cast<std::size_t>(h >> (64 - kFilterBits));
}

class WritePool final : public Sink {
public:
    WritePool(PoolSize size, bool durable);
    ~WritePool() override;
    int started() const { return static_cast<int>(threads_.size()); }
    void start(const char *directory, Ms2Input &input) override;
    bool take(const Scan &scan, Outcomes &done) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    void run_writer(TreeWriter *writer);
    void count_names(const Scan &scan, int change);
    bool may_be_in_flight(const Scan &scan);
    bool tell_oldest(Outcomes &done, bool wait);
    void queue_filled();
    Task &task_with_room(std::size_t length, Outcomes &done);
    void hand_over(const Scan &scan, Outcomes &done);
    void wait_for_writes(Outcomes &done);

    std::mutex lock_;
    std::condition_variable work_;   // a task is queued, or the threads are to stop
    std::condition_variable done_;   // a task is done
    bool stop_ = false;
    int writing_ = 0;                // threads writing a task now
    int active_ = 0;                 // that may write at once, for the input being split
    int decoding_threads_;
    std::unique_ptr<Task[]> tasks_;  // a ring, filled, written and told in its order
    std::size_t task_count_;
    std::size_t to_fill_ = 0;        // the next task the main thread fills
    std::size_t to_write_ = 0;       // the next task a thread takes
    std::size_t to_tell_ = 0;        // the next task whose outcomes are told
    std::vector<std::unique_ptr<TreeWriter>> writers_;  // one per thread
    std::vector<std::thread> threads_;
    std::vector<std::uint16_t> in_flight_;  // counting filter of the names handed over, not told
    TreeWriter main_writer_;         // for the scans the buffer does not hold
    ScanFiles names_{};              // of a scan being handed over
    DtaFile name_{};
};

WritePool::WritePool(PoolSize size, bool durable)
    : decoding_threads_(size.decoding_threads), tasks_(new Task[static_cast<std::size_t>(size.threads) * kTasksPerThread]),
      task_count_(static_cast<std::size_t>(size.threads) * kTasksPerThread),
      in_flight_(std::size_t{1} << kFilterBits, 0), main_writer_(0, durable) {
    threads_.reserve(static_cast<std::size_t>(size.threads));
    for (int i = 0; i < size.threads; ++i) writers_.emplace_back(new TreeWriter(i + 1, durable));
    try {
        for (const std::unique_ptr<TreeWriter> &writer : writers_) {
            // cppcheck-suppress useStlAlgorithm ; a thread that cannot start ends the loop
            threads_.emplace_back(&WritePool::run_writer, this, writer.get());
        }
    } catch (const std::exception &) {  // no more threads (or memory for one): the others write
    }
}

WritePool::~WritePool() {
    {
        const std::lock_guard<std::mutex> held(lock_);
        stop_ = true;
    }
    work_.notify_all();
    for (std::thread &thread : threads_) thread.join();
}

void WritePool::run_writer(TreeWriter *writer) {
    block_interruptions();  // they are handled by the main thread, for every thread
    for (;;) {
        std::unique_lock<std::mutex> held(lock_);
        work_.wait(held, [this] { return stop_ || (writing_ < active_ && tasks_[to_write_].state == TaskState::kQueued); });
        if (stop_) return;
        Task &task = tasks_[to_write_];
        to_write_ = (to_write_ + 1) % task_count_;
        task.state = TaskState::kWriting;
        ++writing_;
        held.unlock();  // the task is this thread's until it is done
        try {
            for (const Scan &scan : task.scans) writer->take(scan, task.outcomes);  // held: no read fails
        } catch (const std::exception &) {  // only memory exhaustion can throw here
            task.out_of_memory = true;
        }
        held.lock();
        task.state = TaskState::kDone;
        --writing_;
        done_.notify_all();
        work_.notify_one();  // another may take the next task now
    }
}

void WritePool::count_names(const Scan &scan, int change) {
    start_scan_files(names_, nullptr, scan);
    while (next_dta_file(names_, name_)) {
        for (int which = 0; which < 2; ++which) {
            std::uint16_t &counter = in_flight_[filter_slot(name_.key, which)];
            if (counter != UINT16_MAX) counter = static_cast<std::uint16_t>(counter + change);  // a full one stays
        }
    }
}

bool WritePool::may_be_in_flight(const Scan &scan) {
    start_scan_files(names_, nullptr, scan);
    while (next_dta_file(names_, name_)) {
        if (in_flight_[filter_slot(name_.key, 0)] != 0 && in_flight_[filter_slot(name_.key, 1)] != 0) return true;
    }
    return false;
}

// Tells what became of the oldest task's files, if it is done (or, with wait, once it is);
// false when there is no such task.
bool WritePool::tell_oldest(Outcomes &done, bool wait) {
    Task &task = tasks_[to_tell_];
    {
        std::unique_lock<std::mutex> held(lock_);
        if (task.state == TaskState::kFree || task.state == TaskState::kFilling) return false;
        if (!wait && task.state != TaskState::kDone) return false;
        done_.wait(held, [&task] { return task.state == TaskState::kDone; });
    }
    if (task.out_of_memory) done.push_back(outcome_of(Outcome::kOutOfMemory, ENOMEM));
    for (const Scan &scan : task.scans) count_names(scan, -1);
    done.insert(done.end(), task.outcomes.begin(), task.outcomes.end());
    task.scans.clear();
    task.outcomes.clear();
    task.used = 0;
    task.out_of_memory = false;
    task.state = TaskState::kFree;
    to_tell_ = (to_tell_ + 1) % task_count_;
    return true;
}

// Hands the task being filled to the threads, if it holds a scan.
void WritePool::queue_filled() {
    Task &task = tasks_[to_fill_];
    if (task.state != TaskState::kFilling || task.scans.empty()) return;
    {
        const std::lock_guard<std::mutex> held(lock_);
        task.state = TaskState::kQueued;
    }
    work_.notify_one();
    to_fill_ = (to_fill_ + 1) % task_count_;
}

// The task to add a scan of length bytes to, once one is free.
Task &WritePool::task_with_room(std::size_t length, Outcomes &done) {
    Task *task = &tasks_[to_fill_];
    if (task->state == TaskState::kFilling && (task->used + length > kTaskBytes || task->scans.size() == kTaskScans)) {
        queue_filled();
        task = &tasks_[to_fill_];
    }
    while (task->state != TaskState::kFree && task->state != TaskState::kFilling) tell_oldest(done, true);
    task->state = TaskState::kFilling;
    return *task;
}

void WritePool::hand_over(const Scan &scan, Outcomes &done) {
    const auto length = static_cast<std::size_t>(scan.end - scan.start);
    if (may_be_in_flight(scan)) wait_for_writes(done);
    Task &task = task_with_room(length, done);
    std::memcpy(task.bytes.get() + task.used, scan.held, length);
    task.scans.push_back(scan);
    task.scans.back().held = task.bytes.get() + task.used;
    task.used += length;
    count_names(scan, +1);
    if (task.used + kLinePieceSize > kTaskBytes) queue_filled();
    while (tell_oldest(done, false)) {
    }
}

void WritePool::wait_for_writes(Outcomes &done) {
    queue_filled();
    while (tell_oldest(done, true)) {
    }
    Task &task = tasks_[to_fill_];
    if (task.state == TaskState::kFilling) task.state = TaskState::kFree;  // empty
}

void WritePool::start(const char *directory, Ms2Input &input) {
    main_writer_.start(directory, input);
    for (const std::unique_ptr<TreeWriter> &writer : writers_) writer->start(directory, input);
    // Input decoded as it is read leaves the decoding thread a processor. Each writer keeps
    // one file open at a time, and the reader may need one for a large scan: more writers
    // than the descriptor limit allows would fail files that one thread writes.
    int writers = input.format == Format::kPlain ? started() : std::min(started(), decoding_threads_);
    writers = std::min(writers, free_descriptors() - 1);
    const std::lock_guard<std::mutex> held(lock_);
    active_ = writers;
}

bool WritePool::take(const Scan &scan, Outcomes &done) {
    if (active_ >= 2 && scan.held != nullptr) {
        hand_over(scan, done);
        return true;
    }
    wait_for_writes(done);  // the files before it are done first
    return main_writer_.take(scan, done);
}

void WritePool::finish(const WrittenNames *given, Outcomes &done) {
    wait_for_writes(done);
    main_writer_.finish(given, done);
}

}  // namespace

std::unique_ptr<Sink> start_write_pool(PoolSize size, bool durable) {
    try {
        std::unique_ptr<WritePool> pool(new WritePool(size, durable));
        if (pool->started() > 0) return pool;
    } catch (const std::bad_alloc &) {  // no memory for the pool: one writer must do
    }
    return nullptr;
}
