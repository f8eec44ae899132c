#include "platform/power_off.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

extern char** environ;

namespace zentu {

namespace {

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

TPowerOffAction ChoosePowerOffAction(const TGetEnv& getEnv) {
    if (IsSet(getEnv("ZENTU_POWEROFF_COMMAND"))) return TPowerOffAction::poaCommand;
    if (IsSet(getEnv("CI"))) return TPowerOffAction::poaDryRun;
    return TPowerOffAction::poaLogind;
}

int RunProgram(const std::vector<std::string>& argv) {
    if (argv.empty()) return 127;
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) return 127;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 127;
}

TSystemPowerControl::TSystemPowerControl(TGetEnv getEnv, std::ostream* out)
    : getEnv_(getEnv ? std::move(getEnv) : TGetEnv([](const char* name) { return std::getenv(name); })),
      out_(out ? out : &std::cout) {}

bool TSystemPowerControl::PowerOff() {
    switch (ChoosePowerOffAction(getEnv_)) {
    case TPowerOffAction::poaCommand:
        return RunProgram({"/bin/sh", "-c", getEnv_("ZENTU_POWEROFF_COMMAND")}) == 0;
    case TPowerOffAction::poaDryRun:
        *out_ << "zentu: power-off requested (dry run)" << std::endl;
        return true;
    case TPowerOffAction::poaLogind: {
        int status = RunProgram({"busctl", "call", "--system", "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "PowerOff", "b", "false"});
        if (status == 127)
            status = RunProgram({"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.login1",
                                 "/org/freedesktop/login1", "org.freedesktop.login1.Manager.PowerOff",
                                 "boolean:false"});
        return status == 0;
    }
    }
    return false;
}

}  // namespace zentu
