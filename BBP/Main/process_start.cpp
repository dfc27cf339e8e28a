// What every program does first: standard streams that are surely descriptors 0, 1 and 2,
// and a file-size limit that fails a write instead of killing the process.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "front_end.h"

void tly_bbp_start_process() {
  // A closed descriptor among 0, 1 and 2 would go to the next file opened (a lock, a checkpoint
  // being saved), and the digits with it. /dev/null opened read-only takes its place: reading
  // ends at once, and writing fails as on the closed descriptor, so that it is reported.
  for (int fd = 0; fd < 3; ++fd)
    if (fcntl(fd, F_GETFD) < 0) {
      const int opened = open("/dev/null", O_RDONLY);
      if (opened >= 0 && opened != fd) close(opened);  // taken meanwhile: not ours to fill
    }
  // Past the limit a write then fails with EFBIG, which the program reports, instead of SIGXFSZ
  // ending it without a word.
  std::signal(SIGXFSZ, SIG_IGN);
}
