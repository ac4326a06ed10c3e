// An ordered pipeline: one thread reads jobs in, workers convert them side
// by side, and the caller's thread takes them out in the order they were
// read, while the next ones are still being converted. A fixed set of
// jobs is reused, so what is in flight, and its memory, is bounded.
//
// The caller's take() may stop the whole run (its output failed); the
// reader is then woken from any wait for input through stopfd(), no more
// jobs are converted, and run() returns once every thread has ended.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// fd itself if it is above the standard streams, else a copy that is (and
// fd is closed): with a standard stream closed, a new descriptor would
// take its number, and reads or writes meant for it would reach ours.
int abovestdio(int fd);

class pipelinebase {
public:
  // Readable once the run is stopped: for the reader's waits on input.
  int stopfd() const { return stoppipe[0]; }
  bool stopped() const;

protected:
  pipelinebase();
  ~pipelinebase();
  void stop();

  mutable std::mutex m;
  // Each side waits on its own, so that a change wakes only who it
  // concerns: a job read (the workers), a job done (the taker), a job
  // taken (the reader).
  std::condition_variable toread, towork, totake;
  bool halted = false;
  int stoppipe[2] = {-1, -1};
};

// What fill() made of a job.
enum class jobkind { none, work, direct };

// Job needs no more than to be default-constructible; the callbacks get
// it by reference:
//   jobkind fill(Job &)   on the reader thread, in order; none: the input
//                         has ended (the job is not used)
//   void stream(Job &)    on the reader thread, right after a direct job
//                         is handed over, for what it reads while taken
//   void work(Job &)      on a worker, for a work job
//   bool take(Job &)      on the caller's thread, in order; false stops
//                         the run
template <class Job> class pipeline : public pipelinebase {
public:
  explicit pipeline(size_t jobs) : slots(jobs ? jobs : 1), state(slots.size(), FREE) {}

  template <class Fill, class Stream, class Work, class Take>
  void run(int workers, Fill fill, Stream stream, Work work, Take take) {
    std::thread reader([&] { readloop(fill, stream); });
    std::vector<std::thread> pool;
    for (int i = 0; i < workers; i++)
      pool.emplace_back([&] { workloop(work); });
    takeloop(take);
    reader.join();
    for (std::thread &t : pool)
      t.join();
  }

private:
  enum : uint8_t { FREE, FILLED, WORKING, DONE };

  // Whether slot i holds job seq, in one of the states wanted.
  bool holds(size_t i, uint64_t seq) const { return state[i] != FREE && slotseq[i] == seq; }

  template <class Fill, class Stream> void readloop(Fill &fill, Stream &stream) {
    for (uint64_t seq = 0;; seq++) {
      size_t i = seq % slots.size();
      {
        std::unique_lock<std::mutex> l(m);
        toread.wait(l, [&] { return halted || state[i] == FREE; });
        if (halted)
          return;
      }
      jobkind k = fill(slots[i]);
      {
        std::lock_guard<std::mutex> l(m);
        if (k == jobkind::none) {
          inputend = seq;
          towork.notify_all();
          totake.notify_all();
          return;
        }
        slotseq[i] = seq;
        state[i] = k == jobkind::work ? FILLED : DONE;
      }
      towork.notify_one(); // a direct job too: the worker waiting for it skips it
      if (k == jobkind::direct)
        totake.notify_one();
      if (k == jobkind::direct)
        stream(slots[i]);
    }
  }

  template <class Work> void workloop(Work &work) {
    std::unique_lock<std::mutex> l(m);
    for (;;) {
      // The oldest job first, so that the one the writer needs next is
      // started first.
      towork.wait(l, [&] {
        return halted || nextwork >= inputend || nextwork < taken ||
               holds(nextwork % slots.size(), nextwork);
      });
      if (halted || nextwork >= inputend)
        return;
      size_t i = nextwork % slots.size();
      bool mine = nextwork >= taken && state[i] == FILLED;
      nextwork++;
      if (!mine)
        continue; // a direct job: nothing to convert
      state[i] = WORKING;
      l.unlock();
      work(slots[i]);
      l.lock();
      state[i] = DONE;
      // The taker waits for this one job; the workers, for the next.
      if (slotseq[i] == taken)
        totake.notify_one();
    }
  }

  template <class Take> void takeloop(Take &take) {
    for (uint64_t seq = 0;; seq++) {
      size_t i = seq % slots.size();
      {
        std::unique_lock<std::mutex> l(m);
        totake.wait(l, [&] { return seq >= inputend || (holds(i, seq) && state[i] == DONE); });
        if (seq >= inputend)
          return;
      }
      bool go = take(slots[i]);
      std::lock_guard<std::mutex> l(m);
      taken = seq + 1;
      state[i] = FREE;
      toread.notify_one();
      // A worker may wait for a direct job that is now taken.
      towork.notify_one();
      if (!go) {
        stop();
        return;
      }
    }
  }

  std::vector<Job> slots;
  std::vector<uint8_t> state;
  std::vector<uint64_t> slotseq = std::vector<uint64_t>(slots.size());
  uint64_t nextwork = 0; // the oldest job no worker has looked at
  uint64_t taken = 0;    // jobs the caller has taken
  uint64_t inputend = UINT64_MAX; // jobs read, once the input has ended
};
