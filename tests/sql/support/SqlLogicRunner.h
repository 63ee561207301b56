// SqlLogicRunner.h: runs a tests/sql/*.test file, record by record, in a fresh in-memory
// database, through TTolvanQuery, as the active release. tests/sql runs every file as release
// 4.00, tests/release390 runs the same files as release 3.90.
//
// The format of a .test file:
//
//   Records are separated by blank lines; a line starting with "#" is a comment.
//
//   statement ok [rows]
//   <SQL, one or more lines>
//       runs the SQL with ExecSQL; it must succeed and, when rows is given, report that many
//       rows affected.
//
//   statement error <native code> [message text]
//   <SQL>
//       the SQL must fail with an engine error of that native code; a message, when given, must
//       equal the error's text, with each line break of the text written as the two characters
//       \n. An error without a native code is named by its class instead of the code
//       (statement error EDatabaseError Circular datalinks are not allowed).
//
//   query <types> <nosort|rowsort> [names]
//   <SQL>
//   ----
//   <one row per line, values separated by tabs>
//       opens the SQL and compares its rows: in order with nosort, after sorting the rows as
//       texts with rowsort. Names, when given (separated by blanks), must equal the result's
//       column names. An empty result has no lines after "----".
//       Type letters, one per column: I integer, R float (3 decimals), T text ("(empty)" for
//       ''), D date/time (yyyy-mm-dd hh:nn:ss), B boolean (true/false), X hex (the bytes,
//       upper case). A letter that does not fit its column fails the test. NULL prints as
//       NULL.
//
//   Fixtures that need no DDL:
//   table t (col TYPE, ...)
//   <rows, values separated by tabs; NULL for null; dates as yyyy-mm-dd [hh:nn:ss]>
//       creates the MEMORY table t (TYPE as in CREATE TABLE, with an optional (size)).
//   index t ix [unique] (col [DESC] [NOCASE], ...)
//       adds an index to t.
//
//   Release 3.90 expectations, lines at the start of a record, before its head:
//   3.90 <head>
//       under release 3.90 the record has this head instead (the same SQL): another error, or
//       statement ok where 4.00 raises, and the reverse. A query record may take a statement
//       head; its rows are then not read. A statement ends at a "----" line, so a statement
//       record may carry the rows of a query head.
//   onlyif 3.90 | skipif 3.90
//       the record runs only under release 3.90, or only under 4.00 (rows that differ: write
//       the record twice).
//   A record without these gives the same result under both releases. Under 3.90 a token's
//   line is its statement's number, so messages of a one-statement text say line 1.
//
// A failure names the file and line, the SQL, and the expected and actual rows or error; the
// file goes on with its next record.
#pragma once

#include <string>
#include <vector>

namespace tolvan::test {

// The stems of the .test files of tests/sql, sorted.
std::vector<std::string> SqlLogicTestFiles();
// Runs tests/sql/<Stem>.test as the active release; each failing record adds a failure.
void RunSqlLogicFile(const std::string& Stem);

} // namespace tolvan::test
