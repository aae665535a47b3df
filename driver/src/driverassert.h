// The link's invariant check. A failure is written to the driver log as an
// error line, reported to the application's assertion handler, and ends the
// calling thread: the link cannot go on with a broken invariant, and ending
// only that thread leaves the application able to report it.
#pragma once

[[noreturn]] void DriverAssertFailed(const char* message, const char* file, int line);

#define DRIVER_ASSERT(cond, message)                                    \
  do {                                                                  \
    if (!(cond)) DriverAssertFailed((message), __FILE__, __LINE__);     \
  } while (0)
