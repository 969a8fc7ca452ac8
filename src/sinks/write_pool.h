// The pool: DTA files written by several threads. The main thread reads the input and hands
// each scan the buffer holds to the pool, copied into tasks of up to 256 KiB; each writing
// thread takes the oldest task waiting and writes its files with a tree writer of its own,
// and what became of them is told in the input's order as tasks finish in turn. A scan the
// buffer does not hold is written by the main thread's own tree writer, once every earlier
// file is done. Two files of one name are never written at once: a scan that may repeat a
// name still being written waits until every earlier scan's files are done, so the later
// file wins, as with one thread.
#ifndef MS2SPLIT_WRITE_POOL_H
#define MS2SPLIT_WRITE_POOL_H

#include <memory>

#include "sink.h"

constexpr int kWritingThreadsMax = kGuardSlots - 1;  // the main thread is the other slot

// How many threads write: at most threads (at most kWritingThreadsMax), and at most
// decoding_threads for an input that is decompressed as it is read (its decoding thread
// takes a processor); fewer than 2 and the main thread writes alone.
struct PoolSize {
    int threads;
    int decoding_threads;
};
// nullptr when no thread can be started: then one tree writer must do.
std::unique_ptr<Sink> start_write_pool(PoolSize size, bool durable);

#endif
