// The core log: line layout, filtering, flushing, lazy creation and the
// write-back of its settings.
#include "log/message_logger.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <vector>

#include "core/settings.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { CKLVMessageLogger::UnInitialize(); }
};

TEST_F(LogTest, LineLayoutAndDeviceField) {
    test::ModuleFolder dir(test::VerboseLogIni());
    LogMessage(3, kLogInfo, kCatApi, "EKLVOpenDevice (<-)");
    LogMessage(0x00070003, kLogInfo, kCatGeneral, "upper bits %s", "ignored");
    LogMessage(0, kLogError, kCatGeneral, "device zero");
    LogMessage(0xABCDFFFF, kLogWarning, kCatMessage, "no device %d", 5);
    auto lines = Lines(dir.ReadLogs());
    ASSERT_GE(lines.size(), 5u);
    const std::regex layout(R"(^\d\d:\d\d:\d\d\.\d\d\d  \[TID \d{4,}\] (\[------\]|\[DID \d+\]) .*$)");
    for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, layout)) << line;
    EXPECT_NE(lines[0].find("[------] CKLVMessageLogger::Initialize - OK"), std::string::npos)
        << "the lazily created logger's own line comes first";
    EXPECT_NE(lines[1].find("] [DID 3] EKLVOpenDevice (<-)"), std::string::npos);
    EXPECT_NE(lines[2].find("] [DID 3] upper bits ignored"), std::string::npos);
    EXPECT_NE(lines[3].find("] [DID 0] device zero"), std::string::npos);
    EXPECT_NE(lines[4].find("] [------] no device 5"), std::string::npos);
    ASSERT_EQ(dir.LogFiles().size(), 1u);
    EXPECT_TRUE(std::regex_match(dir.LogFiles()[0], std::regex(R"(\d\d_\d\d_\d\d_\d\d_EKLV_Core\.log)")));
}

TEST_F(LogTest, LevelMaskFiltersAndLongLinesAreNotCut) {
    test::ModuleFolder dir("[CORE_LOGGING]\nLevel=2\n");
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "info line");
    LogMessage(kNoDevice, kLogError, kCatGeneral, "error line");
    const std::string big(5000, 'y');
    LogMessage(kNoDevice, kLogWarning, kCatGeneral, "warning %s end", big.c_str());
    std::string log = dir.ReadLogs();
    EXPECT_EQ(log.find("info line"), std::string::npos);
    EXPECT_EQ(log.find("error line"), std::string::npos);
    EXPECT_NE(log.find("warning " + big + " end"), std::string::npos);
}

TEST_F(LogTest, UnflushedLinesReachTheFileAtClose) {
    test::ModuleFolder dir("[CORE_LOGGING]\nLevel=0x0000000F ; all\nFlush=0\n");
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "buffered line");
    EXPECT_EQ(dir.ReadLogs().find("buffered line"), std::string::npos);
    CKLVMessageLogger::UnInitialize();
    std::string log = dir.ReadLogs();
    EXPECT_NE(log.find("buffered line"), std::string::npos);
    auto lines = Lines(log);
    EXPECT_NE(lines.back().find("CKLVMessageLogger::UnInitialize() - Flush[0], loglevel[0x0000000f]"),
              std::string::npos)
        << "the write-back line is the last";
    std::string ini = dir.Read("eklv.ini");
    EXPECT_NE(ini.find("Level=0x0000000f"), std::string::npos);
    EXPECT_NE(ini.find("Flush=0"), std::string::npos);
}

// Without a logging section nothing is written; settings changed at run
// time are written back; a log call after shutdown makes a new logger that
// reads the ini anew.
TEST_F(LogTest, SettingsChangeAtRunTimeAndOnNextCreation) {
    test::ModuleFolder dir;
    LogMessage(kNoDevice, kLogError, kCatGeneral, "dropped");
    CKLVMessageLogger::UnInitialize();
    EXPECT_TRUE(dir.LogFiles().empty());
    EXPECT_NE(dir.Read("eklv.ini").find("Level=0x00000000"), std::string::npos) << "settings are written back";

    dir.Write("eklv.ini", test::VerboseLogIni());
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "before");
    LogSettings off{0, 1};
    CKLVMessageLogger::GetInstance()->SetLogging(&off);
    LogMessage(kNoDevice, kLogError, kCatGeneral, "silenced");
    CKLVMessageLogger::UnInitialize();
    EXPECT_NE(dir.Read("eklv.ini").find("Level=0x00000000"), std::string::npos);
    EXPECT_NE(dir.ReadLogs().find("before"), std::string::npos);
    EXPECT_EQ(dir.ReadLogs().find("silenced"), std::string::npos);

    dir.Write("eklv.ini", test::VerboseLogIni());
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "after restart");
    EXPECT_NE(dir.ReadLogs().find("after restart"), std::string::npos);
    EXPECT_EQ(test::CountOf(dir.ReadLogs(), "CKLVMessageLogger::Initialize - OK"), 2);
}

}  // namespace
}  // namespace eklv
