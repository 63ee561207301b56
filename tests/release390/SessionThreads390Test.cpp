// The sessions' thread suite, run as release 3.90.
#include "tests/release390/support/ComponentTest390.h"

#define SessionThreads SessionThreads390
#define TOLVAN_THREAD_SUITE_FIXTURE ComponentTest390
#include "tests/components/TolvanSessionThreadsTest.cpp"
