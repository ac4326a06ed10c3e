#include "par/pipeline.h"

#include <fcntl.h>
#include <unistd.h>

pipelinebase::pipelinebase() {
  if (pipe2(stoppipe, O_CLOEXEC) != 0)
    stoppipe[0] = stoppipe[1] = -1;
}

pipelinebase::~pipelinebase() {
  for (int fd : stoppipe)
    if (fd >= 0)
      close(fd);
}

bool pipelinebase::stopped() const {
  std::lock_guard<std::mutex> l(m);
  return halted;
}

// Called with m held.
void pipelinebase::stop() {
  halted = true;
  changed.notify_all();
  if (stoppipe[1] >= 0) {
    char c = 0;
    (void)!write(stoppipe[1], &c, 1);
  }
}
