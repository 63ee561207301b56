// TolvanProviderText.h: the rewrite of a resolver's SQL text into the engine's dialect.
//
// A resolver quotes identifiers with the three characters " @ " on each side, and writes the
// text statement by statement. RewriteProviderParams turns each quoted name into a bracketed
// one and rebuilds every statement from its tokens, so that the engine reads the same tokens it
// would have read from the source, apart from the quoted names:
// - every token is followed by one blank, and every statement by ";" and CR LF;
// - quoted strings are written in double quotes, bracketed text in "[" "]", back-quoted text in
//   back quotes, each with its closing character doubled inside;
// - a parameter is ":" and its name, or ":" and its name in back quotes when the bare name
//   would not read back as the same parameter;
// - a hexadecimal number whose value the decimal digits cannot carry as one token of the same
//   kind (a negative value, or a float without '.', 'e' or 'E') is written in hexadecimal again;
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
