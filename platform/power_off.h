// Switching the computer off at the end of timer play. The action is an interface so that
// the program can be handed a fake; tests never reach the system's.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace zentu {

class TPowerControl {
public:
    virtual ~TPowerControl() = default;
    // Asks for the computer to be switched off; returns whether the request was accepted.
    // The program goes on running either way (the system's shutdown ends it).
    virtual bool PowerOff() = 0;
};

// What the system's power control does when asked.
enum class TPowerOffAction {
    poaCommand,  // ZENTU_POWEROFF_COMMAND is set: run it with /bin/sh -c
    poaDryRun,   // CI is set: print "zentu: power-off requested (dry run)"
    poaLogind,   // ask systemd-logind on the system bus, as the desktop's own menu does
};

using TGetEnv = std::function<const char*(const char* name)>;

TPowerOffAction ChoosePowerOffAction(const TGetEnv& getEnv);

// The real one: logind's PowerOff(interactive=false) through busctl, or dbus-send when
// busctl is missing. Never a forced power-off, never reboot(2).
class TSystemPowerControl final : public TPowerControl {
public:
    // `getEnv` and `out` (for the dry-run line) are there for tests.
    explicit TSystemPowerControl(TGetEnv getEnv = nullptr, std::ostream* out = nullptr);
    bool PowerOff() override;

private:
    TGetEnv getEnv_;
    std::ostream* out_;
};

// Runs `argv[0]` (searched in PATH) with `argv` and waits for it; its exit status, 127 when
// it could not be started, 128 + n when killed by signal n.
int RunProgram(const std::vector<std::string>& argv);

}  // namespace zentu
