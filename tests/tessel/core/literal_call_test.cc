#include "tessel/core/literal_call.h"

#include <gtest/gtest.h>

namespace {

// The call as "Name|s:text|n:number...".
std::string Shown(const stLiteralCall& call) {
  std::string out = call.name;
  for (const stLiteral& arg : call.args)
    out += (arg.isNumber ? "|n:" + std::to_string(arg.number) : "|s:" + arg.text);
  return out;
}

TEST(LiteralCall, ReadsOneCallOfLiteralsAsLuaReadsItsStringsAndNumbers) {
  const std::pair<std::string, std::string> calls[] = {
      {"Output([[a\nb]])", "Output|s:a\nb"},
      {"Output([==[x]]y]=]z]==])", "Output|s:x]]y]=]z"},
      // The first line end is dropped; every line end reads as "\n".
      {"Output([[\r\none\r\ntwo\n\rthree\rfour]])", "Output|s:one\ntwo\nthree\nfour"},
      {"Output('a\\'b\\n\\065\\\\\\q\\\nc')", "Output|s:a'b\nA\\q\nc"},
      {" Logined ( 1 , \"game\" ) ; ", "Logined|n:1.000000|s:game"},
      {"Marked(-12)", "Marked|n:-12.000000"},
      {"SendPathCmd('a','b','',4,[[Ver()]]) --hops=3", "SendPathCmd|s:a|s:b|s:|n:4.000000|s:Ver()"},
      {"Functions()", "Functions"},
  };
  for (const auto& [text, shown] : calls) {
    stLiteralCall call;
    ASSERT_TRUE(ParseLiteralCall(text, call)) << text;
    EXPECT_EQ(Shown(call), shown) << text;
  }
}

// Statements around the call, expressions, comments, other call forms, strings Lua refuses (a
// line end, an escape above 255, a nested [[ in a level-0 string), bad numbers, unended texts.
TEST(LiteralCall, RefusesAnyTextThatIsMoreThanOneCallOfLiteralsOrThatLuaWouldRefuse) {
  const char* const texts[] = {"Output('x') os.execute('id')",
                               "Output('x');os.execute('id')",
                               "Output(os.execute('id'))",
                               "Output('x'..'y')",
                               "Output(x)",
                               "Output(-'x')",
                               "Output('x') -- comment",
                               "Output('x') --hops=1 os.execute('id')",
                               "Output('x') --hops=1\012os.execute('id')",
                               "Output[[x]]",
                               "Output\012('x')",
                               "a.b('x')",
                               "return('x')",
                               "os.execute('id')()",
                               "Output('a\012b')",
                               "Output('\\256')",
                               "Output([[a[[b]])",
                               "Output(1x)",
                               "Output(1.2.3)",
                               "Output([=[x]])",
                               ""};
  for (const char* text : texts) {
    stLiteralCall call;
    EXPECT_FALSE(ParseLiteralCall(text, call)) << text;
  }
}

}  // namespace
