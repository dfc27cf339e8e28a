// The checkpoint a command-line run starts from: its path followed through links once, a lock
// against a second run on it, the file read, and the first save before any work.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "checkpoint.h"
#include "command_line.h"

namespace {

// `given` followed through every symbolic link to the name of a file that is not one (and
// need not exist yet). Resolved once, so that every save goes beside that file.
bool resolve(const std::string& given, std::string* path, std::string* error) {
  *path = given;
  for (int links = 0;; ++links) {
    struct stat st;
    if (lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    char target[PATH_MAX];
    const ssize_t n = links < 40 ? readlink(path->c_str(), target, sizeof target) : -1;
    if (n < 0 || size_t(n) == sizeof target) {
      *error = std::strerror(links == 40 ? ELOOP : n < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    const size_t slash = path->rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path->substr(0, slash + 1);
    *path = target[0] == '/' ? std::string(target, size_t(n)) : directory + std::string(target, size_t(n));
  }
}

bool finished(const tly_bbp_checkpoint& checkpoint) {
  for (const tly_bbp_formula_progress& f : checkpoint.formulas)
    for (const tly_bbp_series_record& s : f.series)
      if (tly_bbp_finished_terms(s) != s.term_count) return false;
  return true;
}

}  // namespace

int tly_bbp_start_checkpoint(const std::string& given, tly_bbp_checkpoint* checkpoint, std::string* path,
                             bool* loaded) {
  std::string file, error;
  auto refuse = [&](const std::string& why) {
    std::fprintf(stderr, "tallyspire-bbp: checkpoint %s refused: %s\n", given.c_str(), why.c_str());
    return tly_bbp_exit_bad_arguments;
  };
  if (!resolve(given, &file, &error)) return refuse(error);
  // Only a regular file can be a checkpoint: anything else is refused before a lock file is
  // made beside it.
  struct stat st;
  if (stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return refuse("it is " + tly_bbp_file_kind(file) + ", not a regular file");

  // A lock file of its own, since every save renames a new file over the checkpoint. It stays
  // when the run ends: removed, two runs could each lock a file of that name. Held until the
  // process ends, whichever way it ends. Where it cannot be made only a finished checkpoint
  // is of use, and that needs no lock.
  const std::string lock_path = file + ".lock";
  const int lock = open(lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  const int lock_error = lock < 0 ? errno : 0;
  // Short of descriptors or memory the file is not at fault: the run cannot go on.
  auto cannot_open = [&](const std::string& why) {
    std::fprintf(stderr, "tallyspire-bbp: cannot open the checkpoint %s: %s\n", given.c_str(), why.c_str());
    return tly_bbp_exit_fatal;
  };
  if (tly_bbp_out_of_resources(lock_error)) return cannot_open(std::strerror(lock_error));
  if (lock >= 0 && (fstat(lock, &st) != 0 || !S_ISREG(st.st_mode)))
    return refuse(lock_path + " is " + tly_bbp_file_kind(lock_path) + ", not a regular file");
  if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      std::fprintf(stderr, "tallyspire-bbp: checkpoint %s is in use by another run (it holds %s)\n", given.c_str(),
                   lock_path.c_str());
      return tly_bbp_exit_bad_arguments;
    }
    std::fprintf(stderr,
                 "tallyspire-bbp: the file system of %s refuses locks (%s): running without one, so no other run "
                 "may use this checkpoint meanwhile\n",
                 lock_path.c_str(), std::strerror(errno));
  }

  const tly_bbp_checkpoint_read read = tly_bbp_read_checkpoint(file, checkpoint, &error);
  if (read == tly_bbp_checkpoint_read::failed) return cannot_open(error);
  if (read == tly_bbp_checkpoint_read::refused) return refuse(error);
  *loaded = read == tly_bbp_checkpoint_read::loaded;
  path->clear();
  if (*loaded && finished(*checkpoint)) return -1;
  // An unusable path shows now, not after the first interval of work.
  const bool written = lock_error == 0 && tly_bbp_write_checkpoint(file, tly_bbp_checkpoint_bytes(*checkpoint), &error);
  if (!written) {
    if (lock_error == ELOOP || lock_error == EISDIR)
      error = lock_path + " is " + tly_bbp_file_kind(lock_path) + ", in the way of the lock";
    else if (lock_error)
      error = lock_path + ": " + std::strerror(lock_error);
    std::fprintf(stderr, "tallyspire-bbp: --checkpoint: cannot write %s: %s\n", given.c_str(), error.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  *path = file;
  return -1;
}
