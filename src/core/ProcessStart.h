#pragma once

// What the process must settle before any library reads its environment.
namespace ProcessStart {

// Text recognition runs several times slower when OpenMP spreads it over the cores, and OpenMP
// reads OMP_THREAD_LIMIT once, when its library loads, before main. Unless the limit is already
// 1, sets it and restarts the program in place with the same arguments (argv as given to main).
// Returns only when no restart was needed or the restart failed.
void limitOpenMpThreads(char **argv);

} // namespace ProcessStart
