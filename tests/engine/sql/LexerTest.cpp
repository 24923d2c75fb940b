#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/sql/parse/Lexer.h"

namespace zorvic::engine {
namespace {

// Every token of a text as (kind, text) pairs, up to and excluding the end.
std::vector<std::pair<TokenKind, std::string>> Tokens(const std::string& text) {
  TExpressionParser lexer;
  lexer.SetParseContext("SQL statement");
  lexer.Load(text);
  std::vector<std::pair<TokenKind, std::string>> tokens;
  while (lexer.Next() != tkEnd)
    tokens.emplace_back(lexer.Kind(), lexer.TokenText());
  return tokens;
}

// The message of the engine error raised while reading every token of text.
std::string LexError(const std::string& text, TErrorCode* code = nullptr) {
  TExpressionParser lexer;
  lexer.SetParseContext("WHERE or JOIN clause");
  try {
    lexer.Load(text);
    while (lexer.Next() != tkEnd) {
    }
  } catch (const EVELDOREngineError& e) {
    if (code != nullptr) *code = e.ErrorCode;
    return e.what();
  }
  return "no error";
}

using Tok = std::pair<TokenKind, std::string>;
const std::string kSqlPrefix = "VELDOR Engine Error # 11949 SQL error - ";

TEST(LexerTokens, NamesNumbersAndSymbols) {
  EXPECT_EQ(Tokens("SELECT a_1!$@ FROM T\x80\xFE x"), (std::vector<Tok>{{tkName, "SELECT"},
                                                                        {tkName, "a_1!$@"},
                                                                        {tkName, "FROM"},
                                                                        {tkName, "T\x80\xFE"},
                                                                        {tkName, "x"}}));
  // A byte 255 is no name character but a symbol of its own.
  EXPECT_EQ(Tokens("\xFF"), (std::vector<Tok>{{255, "\xFF"}}));
  EXPECT_EQ(Tokens("(),*+-./;<=>?\\|"), (std::vector<Tok>{{40, "("},
                                                          {41, ")"},
                                                          {44, ","},
                                                          {42, "*"},
                                                          {43, "+"},
                                                          {45, "-"},
                                                          {46, "."},
                                                          {47, "/"},
                                                          {59, ";"},
                                                          {60, "<"},
                                                          {61, "="},
                                                          {62, ">"},
                                                          {63, "?"},
                                                          {92, "\\"},
                                                          {124, "|"}}));
}

TEST(LexerTokens, NumberForms) {
  EXPECT_EQ(Tokens("123 1.5 1e10 1E+5 2.5e-3 .5 1.2.3"), (std::vector<Tok>{{tkInteger, "123"},
                                                                           {tkReal, "1.5"},
                                                                           {tkReal, "1e10"},
                                                                           {tkReal, "1E+5"},
                                                                           {tkReal, "2.5e-3"},
                                                                           {tkReal, ".5"},
                                                                           {tkReal, "1.2.3"}}));
  // A sign not directly after E ends the number: an unquoted date is integer arithmetic.
  EXPECT_EQ(Tokens("2005-01-31 12"), (std::vector<Tok>{{tkInteger, "2005"},
                                                       {45, "-"},
                                                       {tkInteger, "01"},
                                                       {45, "-"},
                                                       {tkInteger, "31"},
                                                       {tkInteger, "12"}}));
  // A "." without a digit after it is the symbol; digits then letters are two tokens.
  EXPECT_EQ(Tokens("a.b 12abc"),
            (std::vector<Tok>{
                {tkName, "a"}, {46, "."}, {tkName, "b"}, {tkInteger, "12"}, {tkName, "abc"}}));
  EXPECT_EQ(Tokens("#65 # #"),
            (std::vector<Tok>{{tkCharConst, "#65"}, {tkCharConst, "#"}, {tkCharConst, "#"}}));
}

TEST(LexerTokens, LongQuotedTextKeepsEveryCharacter) {
  // A message body: thousands of characters with doubled quotes here and there, and a
  // bracketed name holding a lone quote.
  std::string body, expected;
  for (int i = 0; i < 3000; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    body += c;
    expected += c;
    if (i % 700 == 0) {
      body += "''";
      expected += "'";
    }
  }
  EXPECT_EQ(Tokens("'" + body + "' [x'y\"z]"),
            (std::vector<Tok>{{tkSingleQuoted, expected}, {tkBracketName, "x'y\"z"}}));
}

TEST(LexerTokens, QuotedTextCollapsesDoubledQuotes) {
  EXPECT_EQ(Tokens("'it''s' \"say \"\"hi\"\"\" [a''b\"\"c] '' \"\""),
            (std::vector<Tok>{{tkSingleQuoted, "it's"},
                              {tkDoubleQuoted, "say \"hi\""},
                              {tkBracketName, "a'b\"c"},
                              {tkSingleQuoted, ""},
                              {tkDoubleQuoted, ""}}));
  // The other quote inside a string stays as written; comments inside strings are text.
  EXPECT_EQ(Tokens("'a\"\"b' '/* x */'"),
            (std::vector<Tok>{{tkSingleQuoted, "a\"\"b"}, {tkSingleQuoted, "/* x */"}}));
}

TEST(LexerTokens, BlanksAndCommentsAreSkipped) {
  EXPECT_EQ(Tokens("\t\r\n a/* one */ /*two*//**/b \x01 /* * / */ c"),
            (std::vector<Tok>{{tkName, "a"}, {tkName, "b"}, {tkName, "c"}}));
  // "--" is no comment.
  EXPECT_EQ(Tokens("a -- b"),
            (std::vector<Tok>{{tkName, "a"}, {45, "-"}, {45, "-"}, {tkName, "b"}}));
  EXPECT_TRUE(Tokens("  /* only a comment */  ").empty());
}

TEST(LexerErrors, UnterminatedTokensNameTheContext) {
  TErrorCode code = 0;
  EXPECT_EQ(LexError("a /* open", &code),
            kSqlPrefix + "Missing ending comment slash and asterisk in WHERE or JOIN clause");
  EXPECT_EQ(code, VELDOR_SQLPARSE);
  EXPECT_EQ(LexError("x = 'abc''d"),
            kSqlPrefix + "Missing single quote after 'abc'd' in WHERE or JOIN clause");
  EXPECT_EQ(LexError("x = \"abc"),
            kSqlPrefix + "Missing double quote after 'abc' in WHERE or JOIN clause");
  EXPECT_EQ(LexError("[abc"),
            kSqlPrefix + "Missing right bracket after 'abc' in WHERE or JOIN clause");
}

TEST(LexerErrors, NulByteIsRefused) {
  EXPECT_EQ(LexError(std::string("UserName = 'a'\0 OR 1=1", 23)),
            kSqlPrefix +
                "Invalid NUL character (#0) found at position 15 of the text in WHERE or JOIN "
                "clause");
}

TEST(LexerErrors, FilterErrorsUseTheirCodeAndTable) {
  TExpressionParser lexer;
  lexer.ErrorCode = VELDOR_INVALIDFILTER;
  lexer.ErrorTableName = "Users";
  lexer.SetParseContext("filter expression");
  lexer.Load("Name = 'abc");
  try {
    lexer.Next();
    lexer.Next();
    lexer.Next();
    FAIL() << "no error";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_INVALIDFILTER);
    EXPECT_EQ(e.ErrorTable, "Users");
    EXPECT_STREQ(e.what(),
                 "VELDOR Engine Error # 10051 Filter error for the table 'Users' - Missing "
                 "single quote after 'abc' in filter expression");
  }
}

TEST(LexerState, KeywordsSymbolsAndClauseText) {
  TExpressionParser lexer;
  lexer.Load("select Name,\r\n  Count(*) AS n from T");
  EXPECT_EQ(lexer.Kind(), tkNone);
  lexer.Next();
  EXPECT_TRUE(lexer.IsKeyword("SELECT"));
  EXPECT_FALSE(lexer.IsKeyword("SELECTX"));
  lexer.Next();
  lexer.MarkClauseStart();
  EXPECT_TRUE(lexer.IsNameOrString());
  lexer.Next();  // ,
  EXPECT_TRUE(lexer.IsSymbol(','));
  lexer.Next();  // Count
  lexer.Next();  // (
  lexer.Next();  // *
  lexer.Next();  // )
  lexer.Next();  // AS
  EXPECT_EQ(lexer.ClauseText(), "Name,  Count(*)");
  lexer.MarkClauseStart();
  lexer.Next();  // n
  lexer.Next();  // from
  lexer.Next();  // T
  lexer.Next();  // end
  EXPECT_TRUE(lexer.IsSymbol(tkEnd));
  EXPECT_EQ(lexer.ClauseText(), "AS n from T");
  // Cut to a limit after CR and LF are taken out, as the whole text cut afterwards would be.
  EXPECT_EQ(lexer.ClauseText(6), "AS n f");
  lexer.Load("x\r\n+\r\ny z");
  lexer.Next();
  lexer.MarkClauseStart();
  for (int i = 0; i < 4; ++i)
    lexer.Next();  // x + y z, then the end
  EXPECT_EQ(lexer.ClauseText(), "x+y z");
  EXPECT_EQ(lexer.ClauseText(3), "x+y");
  EXPECT_EQ(lexer.ClauseText(0), "");
  // A quoted token is not a keyword even when its text is one.
  lexer.Load("'SELECT' [FROM]");
  lexer.Next();
  EXPECT_FALSE(lexer.IsKeyword("SELECT"));
  EXPECT_EQ(lexer.StringEnd(), 8u);
}

TEST(LexerState, PeekAndRestore) {
  TExpressionParser lexer;
  lexer.Load("a <> b < = c");
  lexer.Next();
  lexer.Next();
  EXPECT_TRUE(lexer.IsSymbol('<'));
  EXPECT_EQ(lexer.PeekChar(), '>');
  const TLexerState saved = lexer.SaveState();
  lexer.Next();
  lexer.Next();
  EXPECT_EQ(lexer.TokenText(), "b");
  lexer.RestoreState(saved);
  EXPECT_TRUE(lexer.IsSymbol('<'));
  lexer.Next();
  lexer.Next();
  lexer.Next();
  EXPECT_TRUE(lexer.IsSymbol('<'));
  EXPECT_EQ(lexer.PeekChar(), ' ');
}

}  // namespace
}  // namespace zorvic::engine
