// An ordered pipeline: jobs are read in one at a time, converted side by
// side, and taken out one at a time in the order they were read, while
// the next ones are still being converted. A fixed set of jobs is reused,
// so what is in flight, and its memory, is bounded.
//
// take() may stop the whole run (its output failed); a fill() waiting for
// input is then woken through stopfd(), no more jobs are converted, and
// run() returns once every thread has ended.
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
  std::condition_variable changed;
  bool halted = false;
  int stoppipe[2] = {-1, -1};
};

// What fill() made of a job.
enum class jobkind { none, work, direct };

// Job needs no more than to be default-constructible; the callbacks get
// it by reference, each on whichever thread has that part to do:
//   jobkind fill(Job &)      in input order, one at a time; none: the
//                            input has ended (the job is not used)
//   void stream(Job &)       right after a direct job is handed over, for
//                            what it reads while it is taken
//   void work(Job &, int t)  a work job, side by side; t is the thread's
//                            number, 0 to threads - 1
//   bool take(Job &)         in input order, one at a time; false stops
//                            the run
// No thread is only a reader or only a writer: each takes the next job in
// order once it is done, else converts the oldest read, else reads the
// next, so that on a machine with as many cores as threads none of them
// waits for another to be woken.
template <class Job> class pipeline : public pipelinebase {
public:
  explicit pipeline(size_t jobs) : slots(jobs ? jobs : 1), state(slots.size(), FREE) {}

  // On the calling thread and threads - 1 more.
  template <class Fill, class Stream, class Work, class Take>
  void run(int threads, Fill fill, Stream stream, Work work, Take take) {
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; t++)
      pool.emplace_back([&, t] { loop(t, fill, stream, work, take); });
    loop(0, fill, stream, work, take);
    for (std::thread &t : pool)
      t.join();
  }

private:
  enum : uint8_t { FREE, FILLED, WORKING, DONE };

  template <class Fill, class Stream, class Work, class Take>
  void loop(int me, Fill &fill, Stream &stream, Work &work, Take &take) {
    const size_t n = slots.size();
    std::unique_lock<std::mutex> l(m);
    while (!halted) {
      // The next job in order, once it is done: it frees a slot and keeps
      // the output going.
      if (!taking && taken < nextread && state[taken % n] == DONE) {
        taking = true;
        while (!halted && taken < nextread && state[taken % n] == DONE) {
          size_t i = taken % n;
          l.unlock();
          bool go = take(slots[i]);
          l.lock();
          state[i] = FREE;
          taken++;
          changed.notify_all();
          if (!go)
            stop();
        }
        taking = false;
        continue;
      }
      // The oldest job read and not yet started.
      if (nextwork < nextread) {
        size_t i = nextwork % n;
        nextwork++;
        if (state[i] != FILLED)
          continue; // a direct job: nothing to convert
        state[i] = WORKING;
        l.unlock();
        work(slots[i], me);
        l.lock();
        state[i] = DONE;
        changed.notify_all();
        continue;
      }
      // The next job from the input, into a free slot.
      if (!reading && !inputended && state[nextread % n] == FREE) {
        reading = true;
        size_t i = nextread % n;
        l.unlock();
        jobkind k = fill(slots[i]);
        l.lock();
        if (k == jobkind::none) {
          inputended = true;
        } else {
          state[i] = k == jobkind::work ? FILLED : DONE;
          nextread++;
          if (k == jobkind::direct) {
            changed.notify_all();
            l.unlock();
            stream(slots[i]);
            l.lock();
          }
        }
        reading = false;
        changed.notify_all();
        continue;
      }
      if (inputended && !reading && taken == nextread)
        return;
      changed.wait(l);
    }
  }

  std::vector<Job> slots;
  std::vector<uint8_t> state;
  uint64_t nextread = 0; // jobs read
  uint64_t nextwork = 0; // the oldest job no thread has looked at to convert
  uint64_t taken = 0;    // jobs taken
  bool reading = false, taking = false, inputended = false;
};
