// Where an installed library keeps its settings and log: the folder rule,
// the user's state folder, a log folder that cannot be written or holds a
// planted link, settings that cannot be read or that anyone may change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/folder_rules.h"
#include "core/settings.h"
#include "log/message_logger.h"
#include "platform/clock.h"
#include "platform/linux/module_override.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

TEST(FolderRule, SettingsAndLogFolders) {
    int asked = 0;
    auto state = [&] {
        ++asked;
        return std::string("/home/u/.local/state/eklv");
    };
    auto log = [&](const FolderFacts& facts) {
        return ChooseLogFolder(facts, ChooseSettingsFolder(facts).source, state);
    };
    FolderFacts installed{"", "", "/usr/lib/x86_64-linux-gnu/", false, "/etc/eklv"};
    EXPECT_EQ(ChooseSettingsFolder(installed).folder, "/etc/eklv");
    EXPECT_EQ(log(installed).folder, "/home/u/.local/state/eklv");
    EXPECT_EQ(log(installed).source, FolderSource::kUserState);

    // The environment wins over an eklv.ini beside the library (which every
    // test of the statically linked core uses; a state folder from the
    // environment's settings is checked on files below).
    FolderFacts named{"/srv/station/", "/var/log/station", "/usr/lib/x86_64-linux-gnu/", true, "/etc/eklv"};
    EXPECT_EQ(ChooseSettingsFolder(named).folder, "/srv/station");
    EXPECT_EQ(log(named).folder, "/var/log/station");
    EXPECT_EQ(asked, 2) << "the state folder is asked for only when the rule comes to it";

    FolderFacts no_installed{"", "", "C:\\Station\\", false, ""};  // a platform without one
    EXPECT_EQ(ChooseSettingsFolder(no_installed).source, FolderSource::kBesideLibrary);
    EXPECT_EQ(ChooseLogFolder(installed, FolderSource::kInstalled, [] { return std::string(); }).source,
              FolderSource::kNone);
}

// The core as an installed library sees it: no eklv.ini beside it, the
// settings and the log where the environment says.
class InstalledFolders : public ::testing::Test {
protected:
    void SetUp() override { pf::lx::OverrideModuleFileName(module_.File("libeklv.so")); }
    void TearDown() override {
        CKLVMessageLogger::UnInitialize();
        for (const char* name : {"EKLV_CONFIG_DIR", "EKLV_LOG_DIR", "XDG_STATE_HOME"}) unsetenv(name);
        if (!home_.empty()) setenv("HOME", home_.c_str(), 1);
        pf::lx::OverrideModuleFileName("");
    }
    void UseSettings(const std::string& ini) {
        settings_.Write("eklv.ini", ini);
        setenv("EKLV_CONFIG_DIR", settings_.path().c_str(), 1);
    }
    // Runs InitSettings and answers what it wrote on standard error.
    static std::string InitAndCapture() {
        ::testing::internal::CaptureStderr();
        InitSettings();
        return ::testing::internal::GetCapturedStderr();
    }
    static std::string LogName(int minutes_ahead) {
        pf::LocalTime now = pf::GetLocalTime();
        char name[64];
        std::snprintf(name, sizeof name, "%02d_%02d_%02d_%02d_EKLV_Core.log", now.month, now.day, now.hour,
                      (now.minute + minutes_ahead) % 60);
        return name;
    }

    test::TempFolder module_, settings_, logs_;
    std::string home_ = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
};

TEST_F(InstalledFolders, LogGoesToThePrivateStateFolder) {
    UseSettings(test::VerboseLogIni());
    setenv("HOME", logs_.path().c_str(), 1);
    EXPECT_EQ(InitAndCapture(), "");
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "state line");
    EXPECT_EQ(std::filesystem::status(logs_.File(".local/state/eklv")).permissions(), std::filesystem::perms::owner_all);
    EXPECT_TRUE(module_.LogFiles().empty()) << "nothing beside the library";
    CKLVMessageLogger::UnInitialize();
    EXPECT_NE(settings_.Read("eklv.ini").find("Level=0x00000007"), std::string::npos);

    setenv("XDG_STATE_HOME", settings_.path().c_str(), 1);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "xdg line");
    EXPECT_TRUE(std::filesystem::is_directory(settings_.File("eklv")));
}

TEST_F(InstalledFolders, UnreadableSettingsAreToldOnceWithTheWayOut) {
    setenv("EKLV_CONFIG_DIR", module_.File("missing").c_str(), 1);
    std::string told = InitAndCapture();
    EXPECT_NE(told.find("eklv: settings folder " + module_.File("missing") + " (EKLV_CONFIG_DIR) does not exist"),
              std::string::npos)
        << told;
    EXPECT_EQ(test::CountOf(told, "\n"), 1) << told;

    setenv("EKLV_CONFIG_DIR", settings_.path().c_str(), 1);  // a folder without eklv.ini
    told = InitAndCapture();
    EXPECT_NE(told.find("no eklv.ini in the settings folder " + settings_.path()), std::string::npos) << told;

    // Settings anyone may change are worth a warning in the log.
    UseSettings(test::VerboseLogIni());
    setenv("EKLV_LOG_DIR", logs_.path().c_str(), 1);
    chmod(settings_.File("eklv.ini").c_str(), 0666);
    EXPECT_EQ(InitAndCapture(), "");
    EXPECT_NE(logs_.ReadLogs().find("may be changed by any user"), std::string::npos) << logs_.ReadLogs();
}

TEST_F(InstalledFolders, UnwritableLogFolderIsToldOnceAndRetried) {
    UseSettings(test::VerboseLogIni());
    std::filesystem::remove(logs_.path());
    setenv("EKLV_LOG_DIR", logs_.path().c_str(), 1);
    InitSettings();
    ::testing::internal::CaptureStderr();
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "lost line");
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "lost too");
    std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(test::CountOf(told, "\n"), 1) << told;
    EXPECT_NE(told.find("cannot write the core log " + logs_.path() + "/"), std::string::npos) << told;
    EXPECT_NE(told.find("(EKLV_LOG_DIR): the folder does not exist"), std::string::npos) << told;
    EXPECT_NE(told.find("set EKLV_LOG_DIR"), std::string::npos) << told;

    std::filesystem::create_directory(logs_.path());
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "next line");
    EXPECT_EQ(logs_.ReadLogs().find("lost line"), std::string::npos);
    EXPECT_NE(logs_.ReadLogs().find("next line"), std::string::npos) << "the next line opens the file again";
}

TEST_F(InstalledFolders, PlantedLinkDoesNotTakeTheLines) {
    UseSettings(test::VerboseLogIni());
    setenv("EKLV_LOG_DIR", logs_.path().c_str(), 1);
    chmod(logs_.path().c_str(), 01777);  // a shared folder, as /tmp is
    logs_.Write("target", "");
    // The name is predictable; plant it for this minute and the next.
    for (int ahead : {0, 1})
        std::filesystem::create_symlink(logs_.File("target"), logs_.File(LogName(ahead)));
    InitSettings();
    ::testing::internal::CaptureStderr();
    LogMessage(kNoDevice, kLogError, kCatGeneral, "secret line");
    std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(logs_.Read("target"), "");
    EXPECT_NE(told.find("the name is a link or another user's file"), std::string::npos) << told;
}

}  // namespace
}  // namespace eklv
