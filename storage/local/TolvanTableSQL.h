// TolvanTableSQL.h: the SQL script that recreates a table, written from any cursor.
//
// The script is built from what the cursor holds: its FieldDefs, GetIndexDefs() and
// ConstraintDefs describe the table, and with AddInsertData its records are read through
// GetRecord from the beginning. Keywords are the texts of the tokenizer's keyword table, so a
// script reads back through the same tokenizer. Numbers, dates and times are written with fixed
// settings ('.' as the decimal separator, TODATE literals with their own format), whatever the
// process-wide format settings say.
//
// Layout of the script (CRLF ends every line, TAB indents a column or value):
//
//   DROP TABLE <name> CASCADE;                            create and drop asked
//   CREATE TABLE <name> (                                 create asked
//   <TAB><column definition>,  ...
//   PRIMARY KEY <index> (<col>, ...),  FOREIGN KEY ...    one per primary index / foreign key
//   );
//   DROP INDEX IF EXISTS <name>.<index>;                  per other index, drop asked
//   CREATE [UNIQUE ]INDEX <index> ON <name> (             per other index, indexes asked
//   <TAB><col>[ DESC][ NOCASE], ...
//   );
//   INSERT INTO <name> [(<cols>) ]VALUES (                per record, data asked
//   <TAB><value>, ...
//   );
//
// <name> is the table name, "MEMORY <name>" for an in-memory cursor. With QuoteNames every name
// of a table, column, index or constraint is enclosed in "[" and "]" as it is: a "]" inside a
// name is not doubled. A foreign key names its referenced table but not the referenced
// columns.
//
// The export only reads: the cursor's position and RecordBuffer are as they were afterwards,
// also when a read raises. BLOB values are read through private readers, so the cursor's open
// BLOB streams (an edit in progress) are left alone.
//
// Threads: the cursor's; one thread at a time.
#pragma once

#include "classlib/Strings.h"
#include "schema/TolvanCursor.h"

namespace tolvan {

// SQL becomes the script; a raise leaves SQL as it was.
void GenerateTableSQL(TTolvanCursor& Cursor, bool AddCreateTable, bool AddDropTable,
                      bool AddCreateIndexes, bool AddDropIndexes, bool AddInsertData,
                      bool IncludeBlobs, bool QuoteNames, AnsiString& SQL);

} // namespace tolvan
