// The power-off action, the single-instance lock and the display-text conversion.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "platform/power_off.h"
#include "platform/single_instance.h"
#include "platform/text_codec.h"

namespace zentu {
namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

std::string TempDir() {
    char pattern[] = "/tmp/zentu-platform-XXXXXX";
    return mkdtemp(pattern) ? pattern : "";
}

// Environment lookups for the power control; never the real environment, so that no test can
// reach the system's power-off.
TGetEnv FakeEnv(std::map<std::string, std::string> values) {
    auto shared = std::make_shared<std::map<std::string, std::string>>(std::move(values));
    return [shared](const char* name) -> const char* {
        auto found = shared->find(name);
        return found == shared->end() ? nullptr : found->second.c_str();
    };
}

TEST(PowerOff, TheCommandOverridesTheDryRunWhichOverridesLogind) {
    EXPECT_EQ(ChoosePowerOffAction(FakeEnv({{"ZENTU_POWEROFF_COMMAND", "x"}, {"CI", "true"}})),
              TPowerOffAction::poaCommand);
    EXPECT_EQ(ChoosePowerOffAction(FakeEnv({{"CI", "true"}})), TPowerOffAction::poaDryRun);
    EXPECT_EQ(ChoosePowerOffAction(FakeEnv({{"CI", ""}, {"ZENTU_POWEROFF_COMMAND", ""}})), TPowerOffAction::poaLogind);
    EXPECT_EQ(ChoosePowerOffAction(FakeEnv({})), TPowerOffAction::poaLogind);
}

TEST(PowerOff, TheCommandRunsThroughTheShellAndItsStatusCounts) {
    std::string dir = TempDir();
    std::string record = dir + "/record";
    std::ostringstream out;
    TSystemPowerControl control(FakeEnv({{"ZENTU_POWEROFF_COMMAND", "echo \"off $((1+1))\" >> '" + record + "'"}}),
                                &out);
    EXPECT_TRUE(control.PowerOff());
    std::ifstream in(record);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "off 2");
    EXPECT_TRUE(out.str().empty());

    TSystemPowerControl failing(FakeEnv({{"ZENTU_POWEROFF_COMMAND", "exit 3"}}), &out);
    EXPECT_FALSE(failing.PowerOff());
    fs::remove_all(dir);
}

TEST(PowerOff, TheDryRunPrintsOneLine) {
    std::ostringstream out;
    TSystemPowerControl control(FakeEnv({{"CI", "1"}}), &out);
    EXPECT_TRUE(control.PowerOff());
    EXPECT_EQ(out.str(), "zentu: power-off requested (dry run)\n");
}

TEST(PowerOff, RunProgramReportsStatusSignalsAndMissingPrograms) {
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", "kill -TERM $$"}), 128 + SIGTERM);
    EXPECT_EQ(RunProgram({"zentu-no-such-program"}), 127);
    EXPECT_EQ(RunProgram({}), 127);
}

// Runs `body` in a child process and returns its exit status.
template <class Body>
int InChild(Body body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TempDir();
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        if (old) saved_ = old;
        hadOld_ = old != nullptr;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_)
            setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        fs::remove_all(dir_);
    }
    static int SecondCopy() {
        TSingleInstanceLock lock("zentu-test");
        return lock.Acquired() ? 0 : lock.AnotherCopyRuns() ? 3 : 4;
    }
    std::string dir_, saved_;
    bool hadOld_ = false;
};

TEST_F(SingleInstanceTest, ASecondCopyFindsTheLockUntilTheFirstEnds) {
    {
        TSingleInstanceLock first("zentu-test");
        ASSERT_TRUE(first.Acquired());
        EXPECT_EQ(first.Path(), dir_ + "/zentu-test.lock");
        EXPECT_EQ(InChild(SecondCopy), 3);
        TSingleInstanceLock again("zentu-test");  // a second open in this process too
        EXPECT_FALSE(again.Acquired());
        EXPECT_TRUE(again.AnotherCopyRuns());
    }
    EXPECT_EQ(InChild(SecondCopy), 0);
}

TEST_F(SingleInstanceTest, TheLockGoesWithAKilledHolder) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        TSingleInstanceLock lock("zentu-test");
        char c = lock.Acquired() ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(InChild(SecondCopy), 3);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(InChild(SecondCopy), 0);
    close(ready[0]);
    close(ready[1]);
}

// Where the runtime folder cannot hold the lock the shared folder does; else the start is refused.
// Without $XDG_RUNTIME_DIR the user's private folder under the login folders is the runtime folder.
TEST_F(SingleInstanceTest, PathsAPlantedLinkAndAnUnusableRuntimeFolder) {
    const std::string shared = dir_ + "/shared", sharedLock = shared + "/zentu-test-" + std::to_string(getuid()) + ".lock";
    const std::string login = dir_ + "/login", own = login + "/" + std::to_string(getuid()), open = dir_ + "/open";
    fs::create_directories(shared);
    fs::create_directories(own);
    fs::permissions(own, fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directories(open + "/" + std::to_string(getuid()));  // readable by all: not the user's own
    fs::create_symlink(dir_ + "/elsewhere", dir_ + "/zentu-test.lock");
    std::ofstream(dir_ + "/a-file") << "not a folder";
    // $XDG_RUNTIME_DIR (empty: unset), the login folders, the shared folder, the lock taken
    // (empty: none, not started)
    const std::array<std::array<std::string, 4>, 8> kCases{{
        {"", dir_ + "/none", shared, sharedLock}, {"", login, shared, own + "/zentu-test.lock"},
        {"", open, shared, sharedLock}, {dir_, login, shared, sharedLock} /* the planted link */,
        {dir_ + "/missing", login, shared, sharedLock}, {dir_ + "/a-file", login, shared, sharedLock},
        {"/proc", login, shared, sharedLock} /* read-only, even for root */, {dir_ + "/missing", login, dir_ + "/none", ""}}};
    for (const auto& [runtime, loginFolders, sharedFolder, taken] : kCases) {
        SCOPED_TRACE(runtime + " " + loginFolders);
        runtime.empty() ? unsetenv("XDG_RUNTIME_DIR") : setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const TSingleInstanceLock lock("zentu-test", sharedFolder, loginFolders);
        EXPECT_EQ(lock.Acquired() ? lock.Path() : "", taken);
        // (a lambda cannot capture a structured binding in clang 14)
        const std::string &folder = sharedFolder, &logins = loginFolders;
        EXPECT_EQ(InChild([&] { return TSingleInstanceLock("zentu-test", folder, logins).AnotherCopyRuns(); }),
                  !taken.empty());
    }
    EXPECT_FALSE(fs::exists(dir_ + "/elsewhere"));
}

TEST(DisplayText, Utf8Utf16Cp932AndWindows1252) {
    setenv("LC_ALL", "C.UTF-8", 1);  // (a Japanese locale reads a tie as CP932)
    const struct {
        std::string_view bytes;
        const char* text;
        std::optional<TTextEncoding> encoding = std::nullopt;  // none: the text does not say
    } kCases[] = {
        {"plain ascii \\ ~", "plain ascii \\ ~"},
        {"春の海", "春の海"},
        {"\xFF\xFE\x25\x66\x6E\x30\x77\x6D"sv, "春の海", TTextEncoding::Utf16LE},
        {"\xFE\xFF\x66\x25\x30\x6E\x6D\x77"sv, "春の海", TTextEncoding::Utf16BE},
        {"\x66\x25\x30\x6E"sv, "春の", TTextEncoding::Utf16BE},
        // a surrogate pair, then a lone low surrogate
        {"\xFF\xFE\x3D\xD8\x00\xDE\x00\xDC"sv, "\xF0\x9F\x98\x80\xEF\xBF\xBD", TTextEncoding::Utf16LE},
        {"\xEF\xBB\xBF" "a\xFF" "b\xe6\x98"sv, "a\uFFFD" "b", TTextEncoding::Utf8},
        {"\xFF\xFE" "te"sv, "ÿþte"},  // a byte-order mark only where the tag says UTF-16
        {"\x8f\x74\x82\xcc\x8a\x43", "春の海"},
        {"\xca\xde\xdd\xc4\xde \x83\x6f\x83\x93\x83\x68", "ﾊﾞﾝﾄﾞ バンド"},
        {"Caf\xe9 M\xfcller", "Café Müller"},
        {"Bj\xf6rk \x93quoted\x94 \x80 \x81", "Björk “quoted” € \xC2\x81"},
        {"a\x80" "b\xa0", "a€b\xC2\xA0"},
        {"Don\x92t Stop", "Don’t Stop"},
        {"\x97\xf6", "恋"},
        // NEC and IBM extensions speak for neither reading: the locale decides
        {"\x87\x40 \xfb\xfc", "‡@ ûü"},
        // fixed-size fields cut in the middle of a character: the half character goes
        {"\x8f\x74\x82\xcc\x8a", "春の"},
        {"\x8f\x74\x82\xcc\x8a\0\0\0"sv, "春の"},
        {"\xe6\x98\xa5\xe3\x81\xae\xe6\xb5", "春の"},
        {"\xFF\xFE\x25\x66\x6E"sv, "春", TTextEncoding::Utf16LE},
        {"\xFF\xFE\x3D\xD8"sv, "", TTextEncoding::Utf16LE},
        {"ab\0cd"sv, "ab"},
        {"", ""},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.encoding ? TextToUtf8(c.bytes, *c.encoding) : UntypedTextToUtf8(c.bytes), c.text) << c.text;

    setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(UntypedTextToUtf8("\x87\x40 \x81\x60 \\ ~ \xfb\xfc \xca\xde\xdd\xc4\xde"), "① ～ \\ ~ 髙 ﾊﾞﾝﾄﾞ");
    unsetenv("LC_ALL");
}

TEST(DisplayText, RepairedUtf8AndValidity) {
    // One U+FFFD per ill-formed sequence: a stray continuation byte, a lead byte whose
    // sequence breaks off, a surrogate's first byte pair, an overlong form.
    EXPECT_EQ(RepairedUtf8("a\x80" "b\xe6\x98" "c\xed\xa0\x80" "d\xc0\xaf" "\xe6\x98"),
              "a\uFFFD" "b\uFFFD" "c\uFFFD\uFFFD\uFFFD" "d\uFFFD\uFFFD" "\uFFFD");
    EXPECT_EQ(RepairedUtf8("Gr\xc3\xbc\xc3\x9f" "e"), "Grüße");
    EXPECT_FALSE(IsValidUtf8("\xC0\x80"));          // overlong
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));
}

TEST(DisplayText, AnyBytesGiveWellFormedUtf8) {
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 40, '\0');
        for (char& c : bytes) c = static_cast<char>(random() % 3 == 0 ? 0x80 + random() % 0x80 : random() % 256);
        if (round % 4 == 1 && bytes.size() >= 2) bytes[0] = '\xFF', bytes[1] = '\xFE';
        for (std::string text : {UntypedTextToUtf8(bytes), TextToUtf8(bytes, static_cast<TTextEncoding>(round % 5))}) {
            ASSERT_TRUE(IsValidUtf8(text)) << round;
            ASSERT_EQ(text.find('\0'), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace zentu
