#include <gtest/gtest.h>

#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/report.h"
#include "log_capture.h"

namespace {

class ExceptionText : public ::testing::Test {
 protected:
  void TearDown() override { kvn_log::setLevel(kvn_log::Info); }
};

TEST_F(ExceptionText, AtInfoHoldsOnlyTheText) {
  kvn_log::setLevel(kvn_log::Info);
  const KvnCommonException fromText(KVN_HERE, "plain text");
  EXPECT_STREQ(fromText.what(), "plain text");
  EXPECT_EQ(fromText.code, KVN_E_EXCEPTION);
  EXPECT_STREQ(fromText.file, "exception_test.cpp");

  const KvnCommonException fromCode(KVN_HERE, KVN_E_INVALID_REPLY);
  EXPECT_STREQ(fromCode.what(), "-268505093");
  EXPECT_EQ(fromCode.code, KVN_E_INVALID_REPLY);

  const KvnNetPacketException both(KVN_HERE, 7u, "Error put object");
  EXPECT_STREQ(both.what(), "Error put object");
  EXPECT_EQ(both.code, 7u);
}

TEST_F(ExceptionText, AtDebugCarriesTheLocation) {
  kvn_log::setLevel(kvn_log::Debug);
  const int line = __LINE__ + 1;
  const KvnCommonException fromText(KVN_HERE, "plain text");
  EXPECT_EQ(std::string(fromText.what()),
            "from exception_test.cpp:" + std::to_string(line) + " - plain text");
  EXPECT_EQ(fromText.line, line);

  const KvnCommonException fromCode(KVN_HERE, 5u);
  EXPECT_EQ(std::string(fromCode.what()).substr(0, 24), "from exception_test.cpp:");
  EXPECT_EQ(std::string(fromCode.what()).substr(std::string(fromCode.what()).size() - 4), " - 5");

  kvn_log::setLevel(kvn_log::Trace);
  try {
    KVN_THROW_F("Invalid timestamp for file in vss: %s", "/a/b");
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_EXCEPTION);
    EXPECT_EQ(std::string(e.what()), "exception_test.cpp(" + std::to_string(e.line) +
                                         ") - Invalid timestamp for file in vss: /a/b");
  }
}

TEST_F(ExceptionText, FormattedAtInfoHasNoPrefixAndIsCatchableAsTheBase) {
  try {
    KVN_THROW_F("ConnectToServer error %d", -3);
  } catch (const KvnException& e) {
    EXPECT_STREQ(e.what(), "ConnectToServer error -3");
  }
}

TEST_F(ExceptionText, FormattedWithACodeKeepsTheCodeAndTheConstructorsPrefix) {
  const KvnCommonException atInfo =
      KvnCommonException::withCode(KVN_HERE, KVN_E_SERVER, "RSync error (%d): %s", -3, "bad");
  EXPECT_EQ(atInfo.code, KVN_E_SERVER);
  EXPECT_STREQ(atInfo.what(), "RSync error (-3): bad");
  kvn_log::setLevel(kvn_log::Debug);
  const KvnCommonException atDebug = KvnCommonException::withCode(KVN_HERE, 7u, "n=%d", 1);
  EXPECT_EQ(std::string(atDebug.what()),
            "from exception_test.cpp:" + std::to_string(atDebug.line) + " - n=1");
}

TEST_F(ExceptionText, LongTextsAreCutAt255Characters) {
  const std::string longText(400, 'y');
  const KvnCommonException plain(KVN_HERE, longText);
  EXPECT_EQ(std::string(plain.what()), std::string(255, 'y'));

  kvn_log::setLevel(kvn_log::Debug);
  const KvnCommonException withPrefix(KVN_HERE, longText);
  EXPECT_EQ(std::string(withPrefix.what()).size(), 255u);
  const KvnCommonException formatted = KvnCommonException::formatted(KVN_HERE, "%s", longText.c_str());
  EXPECT_EQ(std::string(formatted.what()).size(), 255u);
}

TEST(ErrorReport, TextAndCodeFollowTheBoxConvention) {
  EXPECT_EQ(kvn_log::errorReportText(true, "disk gone"), "$e0000042: disk gone");
  EXPECT_EQ(kvn_log::errorReportText(false, ""), "$e0000041.");
  EXPECT_EQ(kvn_log::errorReportCode(0x5, true), 0x21005u);
  EXPECT_EQ(kvn_log::errorReportCode(0x5, false), 0x20005u);
  EXPECT_EQ(kvn_log::codeText(KVN_E_STOPPED), "0xeffffef0");
}

TEST(ErrorReport, SqlFailureWording) {
  kvn_test::LogCapture capture;
  kvn_log::logSqlFailure(KVN_HERE, "SELECT 1", "no such table", "db text", "driver text");
  EXPECT_NE(capture.text().find("EE ["), std::string::npos);
  EXPECT_NE(capture.text().find("- sql statement 'SELECT 1' failed (no such table) db text driver text\n"),
            std::string::npos);
}

}  // namespace
