#include <gtest/gtest.h>

#include <set>

#include "config/result_codes.h"

namespace {

TEST(ResultCodes, EveryCodeIsAFailureOfItsModuleAndUnique) {
  std::set<HRESULT> seen;
  for (const ResultCodeInfo& info : AllResultCodes()) {
    DWORD v = static_cast<DWORD>(info.value);
    EXPECT_EQ(v >> 24, 0x87u) << info.name;
    DWORD module = (v >> 20) & 0xF;
    EXPECT_TRUE(module == 0 || module == 2 || module == 3 || module == 4) << info.name;
    EXPECT_TRUE(FAILED(info.value)) << info.name;
    EXPECT_TRUE(seen.insert(info.value).second) << "duplicate " << info.name;
    EXPECT_EQ(FindResultCode(info.value), &info);
  }
}

TEST(ResultCodes, LookupOfUnknownCodesAndKeylessCodes) {
  EXPECT_EQ(FindResultCode(0), nullptr);
  EXPECT_EQ(FindResultCode(E_FAIL), nullptr);
  EXPECT_EQ(FindResultCode(NbCode(0x87400080u)), nullptr);
  const ResultCodeInfo* setProperty = FindResultCode(NB_PLAYER_E_SET_PROPERTY);
  ASSERT_NE(setProperty, nullptr);
  EXPECT_EQ(setProperty->messageKey, nullptr);
  // The player's generic failure has a key without the project prefix.
  EXPECT_STREQ(FindResultCode(PLAYER_E_FAIL)->messageKey, L"PLAYER_E_FAIL");
  EXPECT_EQ(FindResultCode(NB_SERVICE_DEEP_TONE_OFF)->table, ResultTable::kEffect);
}

}  // namespace
