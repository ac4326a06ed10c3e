#include "par/pipeline.h"

#include <fcntl.h>
#include <unistd.h>

int abovestdio(int fd) {
  if (fd < 0 || fd > 2)
    return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return high;
}

pipelinebase::pipelinebase() {
  if (pipe2(stoppipe, O_CLOEXEC) != 0) {
    stoppipe[0] = stoppipe[1] = -1;
    return;
  }
  for (int &fd : stoppipe)
    fd = abovestdio(fd);
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
