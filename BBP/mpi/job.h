// The MPI program's run on one rank.
#pragma once
#include <string>
#include <vector>

#include "../engine/process.h"

// A front end: the program's run with its arguments in the process lent to it, returning the exit code.
using tly_bbp_front_end = int (*)(int argc, char** argv, const tly_bbp_process& process);

// Devices opened on a rank other than 0 as block workers, for the series rank 0 announces.
struct tly_bbp_rank_devices {
  void* opened = nullptr;  // the opener's state; null: no device
  const tly_bbp_block_worker* workers = nullptr;
  int32_t count = 0;
  tly_bbp_pace* pace = nullptr;  // count + 1 entries, the processor threads' last
  bool cpu = true;               // the processor threads compute beside them
};

// How the other ranks open the devices that rank 0's run chooses: the job cannot reach devices
// itself, so the program hands it this.
struct tly_bbp_mpi_device_hooks {
  // Opens this rank's share (node_rank of node_ranks) of the devices `choice` names (rank 0's
  // --devices); false with the reason in `error` when this node cannot give what it names.
  // `rank` names the rank in a device's failure message.
  bool (*open)(const char* choice, int32_t rank, int32_t node_rank, int32_t node_ranks, tly_bbp_rank_devices* out,
               std::string* error);
  // Each device as the Result line names it, and the terms it summed since it was opened.
  void (*shares)(const tly_bbp_rank_devices& devices, std::vector<std::string>* names, std::vector<uint64_t>* terms);
  void (*close)(tly_bbp_rank_devices* devices);
};

// Rank 0 runs the front end with every rank's threads and devices working on its series; the
// other ranks print nothing but a failure's message and read no input. Every rank's runs take
// their memory from `allocator` (null: the system's); the other ranks open devices with
// `devices` (null: they compute with their threads alone). Returns the rank's exit code.
int tly_bbp_mpi_main(int argc, char** argv, tly_bbp_front_end front_end, const tly_bbp_allocator* allocator = nullptr,
                     const tly_bbp_mpi_device_hooks* devices = nullptr);
