// The datasets' thread suite (connection from many threads), run as release 3.90.
#include "tests/release390/support/ComponentTest390.h"

#define DataSetThreads DataSetThreads390
#define TOLVAN_THREAD_SUITE_FIXTURE ComponentTest390
#include "tests/components/TolvanDataSetThreadsTest.cpp"
