// A program run as a child process by the tests (eklvctl, unless another
// is named), with its output read back while it runs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/eventually.h"
#include "support/lib_folder.h"

extern char** environ;

namespace eklv::test {

// One run of a program; its standard output and error go to files of folder,
// read back while it runs.
class Child {
public:
    // environment: "NAME=value" texts; null: this process's.
    Child(const TempFolder& folder, std::vector<std::string> args, const std::string& program = EKLVCTL_PATH,
          const std::vector<std::string>* environment = nullptr)
        : folder_(folder) {
        static int runs = 0;
        out_file_ = "out" + std::to_string(runs);
        err_file_ = "err" + std::to_string(runs++);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, folder.File(out_file_).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, folder.File(err_file_).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> envp;
        if (environment != nullptr) {
            for (const std::string& e : *environment) envp.push_back(const_cast<char*>(e.c_str()));
            envp.push_back(nullptr);
        }
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environment ? envp.data() : environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { Wait(std::chrono::milliseconds(0)); }

    // Waits until text shows on stdout or stderr, or the program ends.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
        Eventually([&] { return Poll() || Shown(text); }, timeout);
        return Shown(text);
    }
    // Whether text is on stdout or stderr so far.
    bool Shown(const std::string& text) const { return out.find(text) != out.npos || err.find(text) != err.npos; }
    // The exit code once the program ends within timeout; killed after it.
    int Wait(std::chrono::milliseconds timeout) {
        if (!Eventually([&] { return Poll(); }, timeout) && exit_ == kRunning) {
            kill(pid_, SIGKILL);
            Poll(0);
        }
        return exit_;
    }
    void Signal(int signal) { kill(pid_, signal); }
    pid_t pid() const { return pid_; }

    // This process's environment without the umockdev preload, for
    // programs that have no business on the rig (a browser).
    static std::vector<std::string> PlainEnvironment() {
        std::vector<std::string> plain;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind("UMOCKDEV_", 0) != 0) plain.push_back(entry);
        }
        return plain;
    }

    std::string out, err;

private:
    static constexpr int kRunning = -1000;

    // Reads the output so far; true once the program has ended.
    bool Poll(int options = WNOHANG) {
        int status = 0;
        if (exit_ == kRunning && waitpid(pid_, &status, options) == pid_)
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        out = folder_.Read(out_file_);
        err = folder_.Read(err_file_);
        return exit_ != kRunning;
    }

    const TempFolder& folder_;
    std::string out_file_, err_file_;
    pid_t pid_ = -1;
    int exit_ = kRunning;
};

}  // namespace eklv::test
