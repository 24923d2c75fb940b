#include "engine/storage/EngineError.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using namespace zorvic::engine;

namespace {

EVELDOREngineError Catch(void (*raise)()) {
  try {
    raise();
  } catch (const EVELDOREngineError& e) {
    return e;
  }
  ADD_FAILURE() << "nothing raised";
  return EVELDOREngineError(TErrorContext{});
}

}  // namespace

TEST(EngineError, DuplicateKeyNamesIndexAndTable) {
  auto e = Catch([] { RaiseIndexError(VELDOR_KEYVIOL, "Primary", "Users"); });
  EXPECT_EQ(e.ErrorCode, 9729);
  EXPECT_EQ(e.ErrorIndex, "Primary");
  EXPECT_EQ(e.ErrorTable, "Users");
  EXPECT_STREQ(e.what(),
               "VELDOR Engine Error # 9729 Duplicate key found in the index 'Primary' of the table "
               "'Users'");
  EXPECT_EQ(CurrentErrorCode(), 9729);
  EXPECT_EQ(ContextItem(TErrorItem::Index), "Primary");
}

TEST(EngineError, SqlErrorCarriesTheSqlText) {
  auto e = Catch([] { RaiseSQLError("Expected FROM but instead found ;"); });
  EXPECT_EQ(e.ErrorCode, VELDOR_SQLPARSE);
  EXPECT_STREQ(e.what(),
               "VELDOR Engine Error # 11949 SQL error - Expected FROM but instead found ;");
  EXPECT_EQ(e.ErrorDetail, "Expected FROM but instead found ;");
}

TEST(EngineError, ThreeFillsInTableOrder) {
  auto e = Catch([] {
    TErrorTexts t;
    t.Field = "Age";
    t.Index = "ByAge";
    t.Table = "People";
    RaiseEngineError(VELDOR_INVALIDIDXDESC, t);
  });
  EXPECT_STREQ(e.what(),
               "VELDOR Engine Error # 10023 Invalid field number 'Age' specified in the index "
               "'ByAge' for the table 'People'");
}

TEST(EngineError, UnknownCodesAndCodeWithoutText) {
  auto e = Catch([] { RaiseEngineError(VELDOR_REMOTECALLBACK); });
  EXPECT_STREQ(e.what(), "VELDOR Engine Error # 11284 An unknown error occurred");
  auto f = Catch([] { RaiseEngineError(4242); });
  EXPECT_STREQ(f.what(), "VELDOR Engine Error # 4242 An unknown error occurred");
  auto g = Catch([] { RaiseEngineError(VELDOR_NONE); });
  EXPECT_STREQ(g.what(), "VELDOR Engine Error # 0 An unknown error occurred");
}

TEST(EngineError, CodeOfOtherExceptions) {
  std::runtime_error other("boom");
  EXPECT_EQ(ErrorCodeOf(other), VELDOR_OSUNKNOWN);
  EXPECT_EQ(ErrorCodeOf(std::make_exception_ptr(other)), VELDOR_OSUNKNOWN);
  EXPECT_EQ(ErrorCodeOf(std::make_exception_ptr(42)), VELDOR_OSUNKNOWN);
  try {
    RaiseTableError(VELDOR_OSENOENT, "/data/Users.DAT");
  } catch (...) {
    EXPECT_EQ(ErrorCodeOf(std::current_exception()), VELDOR_OSENOENT);
  }
}

TEST(EngineError, TextsAreCutTo255AndMessageTo254) {
  std::string longName(400, 'x');
  try {
    RaiseTableError(VELDOR_TABLEEXISTS, longName);
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorTable.size(), 255u);
    std::string msg = e.what();
    std::string prefix = "VELDOR Engine Error # 13060 ";
    ASSERT_EQ(msg.compare(0, prefix.size(), prefix), 0);
    EXPECT_EQ(msg.size() - prefix.size(), 254u);
  }
}

TEST(EngineError, RaiseByCodeUsesCurrentContext) {
  try {
    RaiseTableError(VELDOR_EOF, "Messages");
  } catch (const EVELDOREngineError&) {
  }
  try {
    RaiseByCode(VELDOR_BOF);
  } catch (const EVELDOREngineError& e) {
    EXPECT_STREQ(
        e.what(),
        "VELDOR Engine Error # 8705 Beginning of table 'Messages' unexpectedly encountered");
  }
  EXPECT_EQ(ErrorMessageText(VELDOR_NOCURRREC), "No current record in the table 'Messages'");
}

TEST(EngineError, ContextIsPerThread) {
  try {
    RaiseTableError(VELDOR_EOF, "Mine");
  } catch (const EVELDOREngineError&) {
  }
  std::thread other([] {
    try {
      RaiseTableError(VELDOR_BOF, "Theirs");
    } catch (const EVELDOREngineError&) {
    }
  });
  other.join();
  EXPECT_EQ(CurrentErrorCode(), VELDOR_EOF);
  EXPECT_EQ(ContextItem(TErrorItem::Table), "Mine");
}
