#include "write_pool.h"

// MinGW's win32 thread model has neither std::thread nor std::mutex: the main thread writes.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)

WritePool *start_write_pool(int, bool) { return nullptr; }
void use_writers(WritePool &, int) {}
void start_pool_files(const WritePool &, const char *) {}
void hand_over(WritePool &, Conversion &, const Scan &) {}
void wait_for_writes(WritePool &, Conversion &) {}
void stop_write_pool(WritePool *) {}

#else

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t kTaskBytes = std::size_t{256} * 1024;  // of scans in one task
constexpr std::size_t kTaskScans = 256;
constexpr std::size_t kTasksPerThread = 2;  // one being written, one being filled
constexpr int kFilterBits = 16;     // counters of the names in flight: 128 KiB

// A scan in a task: what Scan says of it, its bytes at offset in the task's bytes and its
// charge lines from first_charge_line in the task's charge_lines.
struct TaskScan {
    std::uint64_t number;
    ScanNumbers numbers;
    std::int64_t start, end, header_end, run_start;
    bool one_run, same_body;
    std::size_t offset, first_charge_line, charge_lines;
};

enum class TaskState { kFree, kFilling, kQueued, kWriting, kDone };

struct Task {
    // Changed under the lock where a thread waits on it; read by either side at any time.
    std::atomic<TaskState> state{TaskState::kFree};
    std::unique_ptr<char[]> bytes{new char[kTaskBytes]};
    std::size_t used = 0;
    std::vector<TaskScan> scans;
    std::vector<std::int64_t> charge_lines;
    std::vector<DtaOutcome> outcomes;  // of its files, in order, once done
    bool out_of_memory = false;        // its thread could not finish it
};

}  // namespace

struct WritePool {
    std::mutex lock;
    std::condition_variable work;   // a task is queued, or the threads are to stop
    std::condition_variable done;   // a task is done
    bool stop = false;
    int writing = 0;                // threads writing a task now
    int active = kWritingThreadsMax;  // that may write at once
    std::unique_ptr<Task[]> tasks;  // a ring, filled, written and told in its order
    std::size_t task_count = 0;
    std::size_t to_fill = 0;        // the next task the main thread fills
    std::size_t to_write = 0;       // the next task a thread takes
    std::size_t to_tell = 0;        // the next task whose outcomes are told
    std::vector<std::unique_ptr<FileWriter>> writers;  // one per thread
    std::vector<std::thread> threads;
    std::vector<std::uint16_t> in_flight;  // counting filter of the names handed over, not told
    ChargeLine line;                // of a scan being handed over
    std::vector<DtaKey> names;      // of its files
};

namespace {

std::size_t filter_slot(DtaKey key, int which) {
    std::uint64_t h = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(key.first)) << 32 |
                       static_cast<std::uint32_t>(key.last)) * 0x9e3779b97f4a7c15ULL;
    h = (h ^ static_cast<std::uint32_t>(key.charge) ^ static_cast<std::uint64_t>(which) << 40) * 0xc4ceb9fe1a85ec53ULL;
    return static_cast<std::size_t>(h >> (64 - kFilterBits));
}

void count_name(WritePool &pool, DtaKey key, int change) {
    for (int which = 0; which < 2; ++which) {
        std::uint16_t &counter = pool.in_flight[filter_slot(key, which)];
        if (counter != UINT16_MAX) counter = static_cast<std::uint16_t>(counter + change);  // a full one stays
    }
}

bool may_be_in_flight(const WritePool &pool, DtaKey key) {
    return pool.in_flight[filter_slot(key, 0)] != 0 && pool.in_flight[filter_slot(key, 1)] != 0;
}

void write_task(FileWriter &files, Scan &scan, Task &task) {
    for (const TaskScan &part : task.scans) {
        scan.number = part.number;
        scan.numbers = part.numbers;
        scan.start = part.start;
        scan.end = part.end;
        scan.header_end = part.header_end;
        scan.run_start = part.run_start;
        scan.one_run = part.one_run;
        scan.same_body = part.same_body;
        scan.held = task.bytes.get() + part.offset;
        const std::int64_t *first = task.charge_lines.data() + part.first_charge_line;
        scan.charge_lines.assign(first, first + part.charge_lines);
        write_scan(files, scan);  // a scan held cannot fail to be read
    }
    task.outcomes.swap(files.outcomes);
    files.outcomes.clear();
}

void run_writer(WritePool *pool, FileWriter *files) {
    block_interruptions();  // they are handled by the main thread, for every thread
    Scan scan{};
    for (;;) {
        std::unique_lock<std::mutex> held(pool->lock);
        pool->work.wait(held, [pool] {
            return pool->stop || (pool->writing < pool->active && pool->tasks[pool->to_write].state == TaskState::kQueued);
        });
        if (pool->stop) return;
        Task &task = pool->tasks[pool->to_write];
        pool->to_write = (pool->to_write + 1) % pool->task_count;
        task.state = TaskState::kWriting;
        ++pool->writing;
        held.unlock();  // the task is this thread's until it is done
        try {
            write_task(*files, scan, task);
        } catch (const std::exception &) {  // only memory exhaustion can throw here
            task.out_of_memory = true;
        }
        held.lock();
        task.state = TaskState::kDone;
        --pool->writing;
        pool->done.notify_all();
        pool->work.notify_one();  // another may take the next task now
    }
}

// Tells what became of the oldest task's files, if it is done (or, with wait, once it is);
// false when there is no such task.
bool tell_oldest(WritePool &pool, Conversion &conversion, bool wait) {
    Task &task = pool.tasks[pool.to_tell];
    {
        std::unique_lock<std::mutex> held(pool.lock);
        if (task.state == TaskState::kFree || task.state == TaskState::kFilling) return false;
        if (!wait && task.state != TaskState::kDone) return false;
        pool.done.wait(held, [&task] { return task.state == TaskState::kDone; });
    }
    if (task.out_of_memory) report_argument_failure(*conversion.messages, conversion.name, "out of memory");
    for (const DtaOutcome &outcome : task.outcomes) count_name(pool, outcome.key, -1);
    tell_outcomes(conversion, task.outcomes);
    task.scans.clear();
    task.charge_lines.clear();
    task.used = 0;
    task.out_of_memory = false;
    task.state = TaskState::kFree;
    pool.to_tell = (pool.to_tell + 1) % pool.task_count;
    return true;
}

// Hands the task being filled to the threads, if it holds a scan.
void queue_filled(WritePool &pool) {
    Task &task = pool.tasks[pool.to_fill];
    if (task.state != TaskState::kFilling || task.scans.empty()) return;
    {
        const std::lock_guard<std::mutex> held(pool.lock);
        task.state = TaskState::kQueued;
    }
    pool.work.notify_one();
    pool.to_fill = (pool.to_fill + 1) % pool.task_count;
}

// The task to add a scan of length bytes to, once one is free.
Task &task_with_room(WritePool &pool, Conversion &conversion, std::size_t length) {
    Task *task = &pool.tasks[pool.to_fill];
    if (task->state == TaskState::kFilling && (task->used + length > kTaskBytes || task->scans.size() == kTaskScans)) {
        queue_filled(pool);
        task = &pool.tasks[pool.to_fill];
    }
    while (task->state != TaskState::kFree && task->state != TaskState::kFilling) tell_oldest(pool, conversion, true);
    task->state = TaskState::kFilling;
    return *task;
}

}  // namespace

WritePool *start_write_pool(int threads, bool durable) {
    auto pool = std::unique_ptr<WritePool>(new (std::nothrow) WritePool);
    if (!pool) return nullptr;
    try {
        pool->task_count = static_cast<std::size_t>(threads) * kTasksPerThread;
        pool->tasks.reset(new Task[pool->task_count]);
        pool->in_flight.assign(std::size_t{1} << kFilterBits, 0);
        for (int i = 0; i < threads; ++i) {
            pool->writers.emplace_back(new FileWriter);  // its windows untouched: it reads nothing again
            FileWriter &files = *pool->writers.back();
            files.writer.file = OutputFile{i + 1, -1, durable, false, false, {}};
            files.input = nullptr;
        }
        for (int i = 0; i < threads; ++i) pool->threads.emplace_back(run_writer, pool.get(), pool->writers[static_cast<std::size_t>(i)].get());
    } catch (const std::exception &) {  // no memory, or no thread to be had
        stop_write_pool(pool.release());
        return nullptr;
    }
    return pool.release();
}

void use_writers(WritePool &pool, int count) {
    const std::lock_guard<std::mutex> held(pool.lock);
    pool.active = count;
}

void start_pool_files(const WritePool &pool, const char *directory) {
    for (const std::unique_ptr<FileWriter> &files : pool.writers) start_file_writer(*files, directory, false, nullptr);
}

void hand_over(WritePool &pool, Conversion &conversion, const Scan &scan) {
    const auto length = static_cast<std::size_t>(scan.end - scan.start);
    // Its names, and whether one may still be being written.
    bool waits = false;
    pool.names.clear();
    for (const std::int64_t charge_line : scan.charge_lines) {
        const char *bytes = scan.held + (charge_line - scan.start);
        parse_charge_line({bytes, piece_length(bytes, static_cast<std::size_t>(scan.end - charge_line))}, pool.line);
        pool.names.push_back({scan.numbers.first, scan.numbers.last, pool.line.charge});
        waits = waits || may_be_in_flight(pool, pool.names.back());
    }
    if (waits) wait_for_writes(pool, conversion);
    Task &task = task_with_room(pool, conversion, length);
    std::memcpy(task.bytes.get() + task.used, scan.held, length);
    task.scans.push_back({scan.number, scan.numbers, scan.start, scan.end, scan.header_end, scan.run_start,
                          scan.one_run, scan.same_body, task.used, task.charge_lines.size(), scan.charge_lines.size()});
    task.charge_lines.insert(task.charge_lines.end(), scan.charge_lines.begin(), scan.charge_lines.end());
    task.used += length;
    for (const DtaKey name : pool.names) count_name(pool, name, +1);
    if (task.used + kLinePieceSize > kTaskBytes) queue_filled(pool);
    while (tell_oldest(pool, conversion, false)) {
    }
}

void wait_for_writes(WritePool &pool, Conversion &conversion) {
    queue_filled(pool);
    while (tell_oldest(pool, conversion, true)) {
    }
    Task &task = pool.tasks[pool.to_fill];
    if (task.state == TaskState::kFilling) task.state = TaskState::kFree;  // empty
}

void stop_write_pool(WritePool *pool) {
    if (pool == nullptr) return;
    {
        const std::lock_guard<std::mutex> held(pool->lock);
        pool->stop = true;
    }
    pool->work.notify_all();
    for (std::thread &thread : pool->threads) thread.join();
    delete pool;
}

#endif
