// TolvanLexer.h: the SQL tokenizer.
//
// All SQL text, and every filter text of a dataset, is read through TTolvanLexer. It splits a
// script into statements at ';' and each statement into tokens: words, reserved words, numbers,
// quoted and bracketed text, parameters, parentheses, commas and dots. The statement processor
// walks the tokens of one statement at a time; the expression parser backtracks over them with
// GetPosition / SetPosition.
//
// The dialect, as users' scripts rely on it:
// - White space is tab, CR, LF and blank. "--" starts a comment to the end of the line, "/*" one
//   to the next "*/" (or the end of the text). A comment does not end a token: a/**/b is the
//   word "ab".
// - Inside a word, only  > < = ( ) , / * : | . + -  start a new token, so a&b, a!b and a'b are
//   single words. "<=", "<>", ">=", "!=", "||", "<<", ">>", "&&" and "==" are single tokens.
// - A number is a digit followed by digits, '.', the letters a-f in either case and, after 'e'
//   or 'E', a sign; any other letter is an error (12a is the integer "12a", 12g an error). A
//   number holding '.', 'e' or 'E' is a float. "$1F" and "0x1F" are hexadecimal: their text is
//   the decimal value ("31"); a hexadecimal number holding 'e' or 'E' is a float ("$1E" is the
//   float "30"). ".5" is a float.
// - 'text', "text" (both give quoted strings), [text] and `text` are read to their closing
//   character; that character written twice stands for itself.
// - ':' starts a parameter; the following character is the first of its name, so :"my param"
//   names "my param". A ':' followed by white space or the end of the text names the empty
//   parameter. A parameter token takes a copy of its value from the lexer's parameters.
// - Lines and columns count from 1 in every statement. A line feed starts a new line; a carriage
//   return does not move the column. Release 3.90 numbers lines differently: every token's line,
//   and the line of every position a message reports, is the number of its statement in the
//   text (from 1, empty statements counted); columns count as above.
//
// Ownership: the lexer keeps its own copy of the text and borrows the parameters, which must
// outlive it. A token's Value is shared: a copy of a token that a caller keeps stays valid after
// the lexer moves on or is destroyed; the lexer drops its own references at the next statement
// (or at ReleaseTokenValues).
//
// Threads: a lexer belongs to one thread at a time. The free functions are pure.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/Strings.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanSQLParams.h"

namespace tolvan {

enum TTokenType : uint8_t {
  tktNone = 0,            // no token: past the end
  tktString = 1,          // a word: identifier or operator text
  tktQuotedString = 2,    // text in single or double quotes
  tktBracketedString = 3, // text in square brackets
  tktInt = 4,
  tktFloat = 5,
  tktReservedWord = 6,
  tktParameter = 7,
  tktLeftParenthesis = 8,
  tktRightParenthesis = 9,
  tktComma = 10,
  tktDot = 11,
  tktBackQuotedString = 12 // text in back quotes
};

struct TToken {
  TTokenType Kind = tktNone;
  // The token began with ':'.
  bool ParamPrefix = false;
  // The reserved word's id (its index in SQLKeywords); NoKeywordId() for every other token.
  int16_t KeywordID = NoKeywordId();
  // A word as written; the inside of quoted, bracketed and back-quoted text with doubled
  // closing characters made single; a parameter's name; a hexadecimal number's decimal value.
  AnsiString Text;
  // For a parameter token of a lexer with parameters: a copy of the parameter's value.
  std::shared_ptr<const TTolvanVariant> Value;
  int32_t Line = 0;   // line of the first character, from 1
  int32_t Column = 0; // column of the first character, from 1
};

class TTolvanLexer {
public:
  // Params may be nil: parameter tokens then get no value. A text of 2^31 - 1 characters or
  // more raises ERangeError.
  TTolvanLexer(std::string_view Text, const TTolvanSQLParams* Params);
  TTolvanLexer(const TTolvanLexer&) = delete;
  TTolvanLexer& operator=(const TTolvanLexer&) = delete;

  // Tokenizes the next statement that has tokens (statements without any, such as the empty
  // one of ";;", are passed over) and sets the token index to 0. False at the end of the text.
  // A tokenizer error (30059-30062, 30358) leaves the failing statement's tokens up to the
  // error but unusable, and ends the text: a later call answers false.
  bool NextStatement();

  // The token at the token index; past the end Token.Kind is tktNone and the answer false.
  bool CurrentToken(TToken& Token) const;
  // The token after the current one (or tktNone and false); the index advances in every case.
  bool NextToken(TToken& Token);
  // The token after the current one, without moving.
  bool PeekToken(TToken& Token) const;
  int32_t GetPosition() const noexcept { return FTokenIndex; }
  // Sets the token index and copies that token as CurrentToken does.
  bool SetPosition(int32_t Index, TToken& Token);

  // Drops the lexer's references to the current tokens' parameter values.
  void ReleaseTokenValues() noexcept;
  // The current statement's tokens, for statements that rewrite themselves in place.
  std::vector<TToken>& Tokens() noexcept { return FTokens; }
  int32_t TokenCount() const noexcept { return static_cast<int32_t>(FTokens.size()); }

  const AnsiString& Text() const noexcept { return FText; }
  int32_t TextLength() const noexcept { return static_cast<int32_t>(FText.size()); }
  const TTolvanSQLParams* Params() const noexcept { return FParams; }
  // 0-based position in the text where the next statement begins.
  int32_t StatementStart() const noexcept { return FStatementStart; }
  // Index of the current statement, counting every statement of the text, empty ones included;
  // -1 before the first NextStatement.
  int32_t StatementIndex() const noexcept { return FStatementIndex; }
  // StatementIndex + 1 once a statement was read: the number of the current statement.
  int32_t StatementNumber() const noexcept { return FStatementNumber; }

private:
  struct TScan; // the state of one statement's scan
  friend struct TScan;

  void ScanStatement();

  AnsiString FText;
  const TTolvanSQLParams* FParams;
  std::vector<TToken> FTokens;
  int32_t FStatementStart = 0;
  int32_t FStatementIndex = -1;
  int32_t FStatementNumber = 0;
  int32_t FTokenIndex = 0;
  bool FEnded = false; // the end of the text, or a failed statement, was reached
};

// The token is the reserved word with that id. An id outside the active release's keywords
// (NoKeywordId() and above, or negative) matches no token.
bool IsKeyword(const TToken& Token, int16_t KeywordId);
// The token is a reserved word, whichever.
bool IsAnyKeyword(const TToken& Token);
// A quoted string with empty text.
bool IsEmptyQuotedString(const TToken& Token);
// The id of the reserved word Word in the active release (case ignored), or NoKeywordId().
int16_t KeywordIdOf(std::string_view Word);

// '1'-'9' give 1-9, 'A'-'F' and 'a'-'f' give 10-15; every other character (also '0') gives 0.
int32_t HexDigitValue(char C);
// The sum of each character's HexDigitValue shifted left by 4 times the number of characters
// after it. Sixteen digits reach the sign bit ("FFFFFFFFFFFFFFFF" is -1); a non-zero digit
// sixteen or more places from the right raises EIntOverflow.
int64_t HexToInt64(std::string_view Text);

// Rewrites every "?" word of the text into a numbered parameter ":Tolvan_MS_Param<n>" (n from 0
// across the whole text). The result is rebuilt from the tokens (AppendTokenText), each followed
// by one blank and each statement by "; ". Comments and the source's spacing are gone. A text
// without a "?" word comes back unchanged. Tokenizer errors propagate.
AnsiString ReplaceQuestionMarkParams(std::string_view Text);

// Appends any token in a form the tokenizer reads back as a token of the same kind and text:
// quoted strings in single quotes, bracketed and back-quoted text with the closing character
// doubled, a parameter as ':' and its back-quoted name, a number whose decimal text would read
// back otherwise (a negative or a hexadecimal float) in hexadecimal, every other token as its
// text. Tokens written this way need one blank between them. The one writer of SQL that is
// rebuilt from tokens (derived tables, sub-queries, the "?" and provider rewrites).
void AppendTokenText(AnsiString& Out, const TToken& T);

// Appends Text between Opening and Closing, with each Closing inside doubled, as the tokenizer
// reads quoted, bracketed and back-quoted text back.
void AppendQuoted(AnsiString& Out, std::string_view Text, char Opening, char Closing);

} // namespace tolvan
