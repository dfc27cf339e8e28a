// The GPU devices seen from the command line, through OpenCL and CUDA: --list-devices.
#pragma once
#include <cstdio>

// One block per device: its name as --devices will take it (opencl:PLATFORM:INDEX), then its
// platform, kind, compute units, memory, FP64 class and the arithmetic it would use; a line
// saying why there is none when no OpenCL loader or device is found.
void tly_bbp_list_devices(FILE* out);
// The same as one JSON object: "opencl" (null, or why OpenCL is unavailable) and "devices".
void tly_bbp_list_devices_json(FILE* out);
