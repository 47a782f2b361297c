// eklv.ini readers: comment rule, atoi, list fields, fallback keys and the
// interface-type lookup.
#include "core/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "notify/interface_types.h"
#include "platform/profile.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

TEST(Settings, CommentAtoiAndDefaults) {
    test::ModuleFolder dir(
        "[Configuration]\n"
        "Thread_Terminate_Wait=5000 ; five seconds\n"
        "OnlyComment=;nothing\n"
        "Word=abc\n"
        "Lead=  -42xyz\n");
    int v = -1;
    EXPECT_EQ(GetIniInt("Configuration", "Thread_Terminate_Wait", &v), kIniOk);
    EXPECT_EQ(v, 5000);
    EXPECT_EQ(GetIniIntDefault("Configuration", "OnlyComment", 9, &v), kIniOk);
    EXPECT_EQ(v, 0) << "a value that is only a comment counts as found";
    std::string text = "unchanged";
    EXPECT_TRUE(GetIniString("Configuration", "OnlyComment", "", &text));
    EXPECT_EQ(text, "");
    GetIniIntDefault("Configuration", "Word", 9, &v);
    EXPECT_EQ(v, 0) << "non-numbers read as 0, not as absent";
    GetIniIntDefault("Configuration", "Lead", 9, &v);
    EXPECT_EQ(v, -42);
    v = 77;
    EXPECT_EQ(GetIniInt("Configuration", "Absent", &v), kIniKeyNotFound);
    EXPECT_EQ(v, 77);
    GetIniIntDefault("Nope", "Absent", 15000, &v);
    EXPECT_EQ(v, 15000);
    EXPECT_EQ(GetIniValue("Configuration", "Absent", &text), kIniKeyNotFound);
}

TEST(Settings, ListFieldsSkipEmptyFieldsAndFallBack) {
    test::ModuleFolder dir(
        "[PID_SETTINGS]\n"
        "pid_abcd=50,,10\n"
        "pid_default=1,2,3,4,5\n"
        "empty=\n");
    std::string f;
    EXPECT_EQ(GetIniField("PID_SETTINGS", "pid_abcd", 0, &f), kIniOk);
    EXPECT_EQ(f, "50");
    EXPECT_EQ(GetIniField("PID_SETTINGS", "pid_abcd", 1, &f), kIniOk);
    EXPECT_EQ(f, "10");
    EXPECT_EQ(GetIniField("PID_SETTINGS", "pid_abcd", 2, &f), kIniFieldNotFound);
    EXPECT_EQ(GetIniFieldFallback("PID_SETTINGS", "pid_abcd", "pid_default", 2, &f), kIniOk);
    EXPECT_EQ(f, "3");
    EXPECT_EQ(GetIniFieldFallback("PID_SETTINGS", "pid_beef", "pid_default", 4, &f), kIniOk);
    EXPECT_EQ(f, "5");
    EXPECT_EQ(GetIniFieldFallback("PID_SETTINGS", "empty", "none", 0, &f), kIniFieldNotFound);
}

TEST(Settings, InterfaceTypeFollowsTableOrderAndCase) {
    {
        test::ModuleFolder dir("[INF_SETTINGS]\nINF_UART=Modem,UART\nINF_MTP=MTP\nINF_IMAGE=MTP\n");
        EXPECT_EQ(GetInterfaceTypeFromSettings("USB Modem Port"), INF_UART);
        EXPECT_EQ(GetInterfaceTypeFromSettings("usb modem port"), INF_UNDEFINED) << "case-sensitive";
        EXPECT_EQ(GetInterfaceTypeFromSettings("Phone MTP"), INF_MTP) << "INF_MTP is walked before INF_IMAGE";
    }
    {
        test::ModuleFolder dir("[INF_SETTINGS]\nINF_DATA=Modem\nINF_UART=Modem\nINF_FLASH=Flash,\n");
        EXPECT_EQ(GetInterfaceTypeFromSettings("USB Modem Port"), INF_DATA) << "earlier type wins";
        EXPECT_EQ(GetInterfaceTypeFromSettings("anything"), INF_FLASH) << "a trailing comma matches everything";
    }
    {
        test::ModuleFolder dir;
        EXPECT_EQ(GetInterfaceTypeFromSettings("USB Modem Port"), INF_UNDEFINED);
    }
}

}  // namespace
}  // namespace eklv
