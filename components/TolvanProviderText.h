// TolvanProviderText.h: the rewrite of a resolver's SQL text into the engine's dialect.
//
// A resolver quotes identifiers with the three characters " @ " on each side, and writes the
// text statement by statement. RewriteProviderParams turns each quoted name into a bracketed
// one and rebuilds every statement from its tokens, so that the engine reads the same tokens it
// would have read from the source, apart from the quoted names:
// - every token is followed by one blank, and every statement by ";" and CR LF;
// - each token outside a quoted name is written as the tokenizer reads it back (AppendTokenText):
//   strings in single quotes, a parameter as ":" and its back-quoted name, and so on;
// - a word "@", a token and another word "@" are one quoted name: "[", the token's text with "]"
//   doubled, "]". An "@" without its name and its closing "@" is an ordinary word.
// Comments and the source's spacing are gone. Tokenizer errors propagate.
//
// Threads: pure; any thread.
#pragma once

#include <string_view>

#include "classlib/Strings.h"

namespace tolvan {

AnsiString RewriteProviderParams(std::string_view SQL);

} // namespace tolvan
