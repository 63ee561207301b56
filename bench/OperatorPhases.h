// OperatorPhases.h: the operator benchmark's phases over two tables t and u: joins, grouping,
// COUNT(*) and the set operations, each tree built by hand from the table, join, union and
// group-by operators, timed at 10 000 and 100 000 rows beside the same query on the reference
// database when the program has one.
//
// Threads: one thread.
#pragma once

#include <cstdint>
#include <string>

namespace tolvan::bench {

// Runs the phases (Only: one phase by name, or empty for all) at Smaller and ten times Smaller
// rows, and prints their figures. A phase run alone runs the engine ten times as often, for a
// profile; a smaller size suits a sanitizer or callgrind run.
void RunOperatorPhases(const std::string& Only, int32_t Smaller = 10000);

// True when Name is one of the phases.
bool IsOperatorPhase(const std::string& Name);

} // namespace tolvan::bench
