// The processors a run can really use: its affinity mask and its container's CPU quota.
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "estimate.h"

namespace {

// The quota of one cgroup directory as processors, infinity when it sets none: cpu.max
// ("max 100000" or "150000 100000") in version 2, cpu.cfs_quota_us over cpu.cfs_period_us in 1.
double quota(const std::string& directory) {
  double limit = INFINITY, quota = 0, period = 0;
  std::string word;
  if (std::ifstream v2(directory + "/cpu.max"); v2 >> word >> period && word != "max" && period > 0) {
    quota = std::strtod(word.c_str(), nullptr);
    if (quota > 0) limit = quota / period;
  }
  std::ifstream v1_quota(directory + "/cpu.cfs_quota_us"), v1_period(directory + "/cpu.cfs_period_us");
  if (v1_quota >> quota && v1_period >> period && quota > 0 && period > 0) limit = std::min(limit, quota / period);
  return limit;
}

// The smallest quota on the way from the process's cgroup up to the root of each hierarchy
// that holds the cpu controller: a container's limit may sit on any level.
double cgroup_quota() {
  double limit = INFINITY;
  std::ifstream groups("/proc/self/cgroup");
  for (std::string line; std::getline(groups, line);) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string controllers = ",";
    controllers.append(line, first + 1, second - first - 1).push_back(',');
    std::string path = line.substr(second + 1);
    std::string root;
    if (controllers == ",,")
      root = "/sys/fs/cgroup";  // version 2, or version 1's unified part
    else if (controllers.find(",cpu,") != std::string::npos)
      root = "/sys/fs/cgroup/" + line.substr(first + 1, second - first - 1);
    else
      continue;
    if (path.find("..") != std::string::npos) continue;
    for (;;) {
      limit = std::min(limit, quota(root + path));
      if (path.empty() || path == "/") break;
      path = path.substr(0, path.rfind('/'));
    }
    // Version 1 may mount the cpu controller under another name.
    if (controllers != ",,") limit = std::min(limit, quota("/sys/fs/cgroup/cpu"));
  }
  return limit;
}

}  // namespace

double tly_bbp_usable_processors() {
  cpu_set_t mask;
  double processors = 1;
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) processors = std::max(CPU_COUNT(&mask), 1);
  return std::max(std::min(processors, cgroup_quota()), 0.01);
}
