// MemoryThreadsTestSupport.h: eight writers and two readers on one memory table.
//
// RunMemoryTableThreads makes a memory table (K unique, Who, V; a unique index on K and one on
// Who, V); eight writers, each in a session of its own, insert, update and delete rows of
// distinct keys while two readers count the records and walk the key index. At the end the
// store holds exactly the writers' surviving rows and the indexes agree with it. Meant for the
// ThreadSanitizer build as well. Reports through GoogleTest's assertions.
#pragma once

namespace tolvan::test {

void RunMemoryTableThreads();

} // namespace tolvan::test
