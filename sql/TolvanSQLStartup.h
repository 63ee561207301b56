// TolvanSQLStartup.h: puts the SQL layer in reach of the layers below it.
//
// The query component makes its processor, a table leaf its derived table's query and the
// processor its statements through hooks; InitSQLLayer registers this layer's implementations
// of all of them: the processor maker, the derived-table factory and one command factory per
// statement kind that is built (the other kinds raise 11394). Programs and tests that run SQL
// call it beside InitComponentRegistries; calling it again changes nothing.
//
// Threads: call it before SQL runs on any thread.
#pragma once

namespace tolvan {

void InitSQLLayer();

} // namespace tolvan
