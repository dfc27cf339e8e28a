// The check that a run's threads can start: the OpenMP runtime ends the process in its own words
// when it cannot start a team, so a run tries the same number of threads first.
#include <pthread.h>

#include <cstring>
#include <string>
#include <vector>

#include "batch.h"

namespace {

pthread_mutex_t gate = PTHREAD_MUTEX_INITIALIZER;

// Waits until every thread has been started, so that all of them exist at once, as a team's do.
void* wait_at_gate(void*) {
  pthread_mutex_lock(&gate);
  pthread_mutex_unlock(&gate);
  return nullptr;
}

}  // namespace

bool tly_bbp_threads_start(int32_t count, std::string* error) {
  std::vector<pthread_t> started;
  int failure = 0;
  pthread_mutex_lock(&gate);
  for (int32_t i = 0; i < count && failure == 0; ++i) {
    pthread_t thread;
    failure = pthread_create(&thread, nullptr, wait_at_gate, nullptr);
    if (failure == 0) started.push_back(thread);
  }
  pthread_mutex_unlock(&gate);
  for (pthread_t thread : started) pthread_join(thread, nullptr);
  if (failure != 0) *error = std::strerror(failure);
  return failure == 0;
}
