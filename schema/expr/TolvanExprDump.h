// TolvanExprDump.h: DumpExprTree, one canonical line of text for an expression tree, which the
// parser's and the expression's tests compare and which a developer can read.
//
// The form is an S-expression, one parenthesised group per node:
//
//   (HEAD[flags] details children...)
//
//   HEAD      the operator's own name (OperatorName: "=", "AND", "NOT IN", "NEG", "||",
//             "SUBSTRING", "COUNT(*)", "BITAND", ...), or for nodes without one CONST, PARAM,
//             FIELD, SUBQUERY, IN SUBQUERY and EXISTS
//   [flags]   present only when a flag is set, in this order: i case-insensitive, p partial,
//             k keep null codes (comparisons), d distinct (aggregates), n negated (sub-queries)
//   details   CONST: the value type and the value; PARAM: ":name", then the value type and the
//             value; FIELD: the reference as written, "table.field" or "field"; CAST: the
//             target field type; TODATE and TOSTRING: the date format, quoted; SUBQUERY, IN
//             SUBQUERY, EXISTS: the SQL text, quoted; LASTAUTOINC: "table.field"; TOBLOB: the
//             decoded bytes
//   children  each child's group, in order, separated by one blank
//
// Values: NULL for a null; integers in decimal; floating and currency values in the shortest
// form that reads back to the same number; LOGICAL as TRUE or FALSE; DATE as 2020-01-02, TIME as
// 10:30:00.000, DATETIME as 2020-01-02 10:30:00.000 (an impossible stored date as #date,time);
// texts and memos quoted with ' (a quote doubled, a backslash as \\, bytes below 32, 127 and
// above as \xHH, wide characters above 127 as \uHHHH); BLOB, BYTES and VARBYTES as x'HEX'. Type
// names are the SQL names of the value and field types (STRING, SIGNEDINT64, UNSIGNEDINT16,
// ...). The line is plain ASCII.
//
// Example: (AND (=[ik] (FIELD[i] t.a) (CONST[i] SIGNEDINT64 5)) (LIKE[i] (FIELD[i] b)
// (PARAM[i] :p STRING 'x%')))  (on one line)
//
// Threads: reads the tree only; the caller keeps it from changing meanwhile.
#pragma once

#include <string>

#include "schema/expr/TolvanExprNodes.h"

namespace tolvan {

// The canonical line of Node's tree; "(EMPTY)" for nil.
std::string DumpExprTree(const TTolvanExprNode* Node);
// A value as DumpExprTree writes it (without the type).
std::string DumpExprValue(const TTolvanVariant& Value);

} // namespace tolvan
