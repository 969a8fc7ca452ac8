// Writing DTA files from several threads. The main thread reads the input and hands each
// scan the buffer holds to the pool, copied into tasks of up to 256 KiB; each writing thread
// takes the oldest task waiting, writes its files with a writer of its own, and leaves what
// became of them, which the main thread tells in the input's order as tasks finish in turn.
// Two files of one name are never written at once: a scan that may repeat a name still
// being written waits until every earlier scan's files are done, so the later file wins.
#ifndef MS2SPLIT_WRITE_POOL_H
#define MS2SPLIT_WRITE_POOL_H

#include "split_ms2.h"

constexpr int kWritingThreadsMax = kGuardSlots - 1;  // the main thread is the other slot

struct WritePool;

// Starts threads writing threads (at least 2, at most kWritingThreadsMax); nullptr where
// they cannot be started, and then the main thread writes every file.
WritePool *start_write_pool(int threads, bool durable);
// From now on at most count of the threads write at once.
void use_writers(WritePool &pool, int count);
// Gives each thread the prefix of the next input's files, in directory.
void start_pool_files(const WritePool &pool, const char *directory);
// Hands a scan the buffer holds to the threads, telling what finished meanwhile.
void hand_over(WritePool &pool, Conversion &conversion, const Scan &scan);
// Waits until every file handed over is done, and tells what became of each.
void wait_for_writes(WritePool &pool, Conversion &conversion);
// Ends the threads, once every file is done.
void stop_write_pool(WritePool *pool);

#endif
