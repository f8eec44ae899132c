// The main window on the offscreen platform with real files on the null audio device: the
// start, the play list, the choice of files, the displays, the options and timer play.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/mpris.h"
#include "platform/qt_main_loop.h"

namespace fs = std::filesystem;
using namespace zentu;

namespace {

class TFakePower final : public TPowerControl {
public:
    bool PowerOff() override { return ++calls, true; }
    int calls = 0;
};

// `frames` silent MPEG-1 Layer II frames, 128 kbit/s, 44.1 kHz stereo (417 bytes, 26 ms
// each), and an ID3v1 tag when a title is given.
void WriteStream(const fs::path& path, int frames, const std::string& title = "", const std::string& artist = "") {
    std::ofstream out(path, std::ios::binary);
    std::string frame(417, '\0');
    frame[0] = '\xFF';
    frame[1] = '\xFD';
    frame[2] = '\x80';
    frame[3] = '\x00';
    for (int i = 0; i < frames; ++i) out << frame;
    if (!title.empty()) {
        std::string tag(128, '\0');
        tag.replace(0, 3, "TAG");
        tag.replace(3, title.size(), title);
        tag.replace(33, artist.size(), artist);
        tag[127] = '\xFF';
        out << tag;
    }
}

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void Wait(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("zentu-tf-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sub");
    }
    void TearDown() override {
        window_.reset();
        fs::remove_all(dir_);
    }

    TF& Start(std::vector<std::string> args, uint32_t minuteMs = 60000) {
        TFOptions options;
        options.args = std::move(args);
        options.powerControl = &power_;
        options.trayAvailable = [] { return false; };
        options.minuteMs = minuteMs;
        options.terminate = [this] { ++terminations_; };
        options.showError = [this](const QString& text) { errors_.push_back(text); inErrorBox_(); };
        options.trace = &trace_;
        options.random = random_;
        window_ = std::make_unique<TF>(std::move(options));
        window_->FormCreate();
        return *window_;
    }
    std::string Folder() const { return std::string("D").append(dir_.string()); }
    // Trace lines that begin with `start`.
    int Count(const std::string& start) const {
        std::istringstream lines(trace_.str());
        int count = 0;
        for (std::string line; std::getline(lines, line);) count += line.rfind(start, 0) == 0;
        return count;
    }

    fs::path dir_;
    TFakePower power_;
    int terminations_ = 0;
    std::vector<QString> errors_;
    std::function<void()> inErrorBox_ = [] {};  // runs while an error box waits
    std::ostringstream trace_;
    std::function<int(int)> random_;  // the window's own when empty
    std::unique_ptr<TF> window_;
};

}  // namespace

TEST_F(MainWindow, WindowControlsAndMenusAsBuilt) {
    WriteStream(dir_ / "a.mp3", 10);
    TF& f = Start({Folder()});
    EXPECT_EQ(f.size(), QSize(792, 497));
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Zentu v1.1 メインウインドウ"));
    EXPECT_TRUE(f.windowFlags() & Qt::Dialog);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(f.isVisible());  // hidden at start
    EXPECT_EQ(f.MPList->geometry(), QRect(245, 100, 545, 360));
    EXPECT_EQ(f.SB_Exit->geometry(), QRect(690, 53, 100, 20));
    EXPECT_EQ(f.CB_22->geometry(), QRect(10, 55, 97, 17));
    EXPECT_EQ(f.L2_Timer->pos(), QPoint(230, 17));
    EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("------"));
    EXPECT_TRUE(f.L0->font().bold());
    EXPECT_FALSE(f.L4->font().bold());
    EXPECT_EQ(f.L4->font().pixelSize(), 12);

    QStringList left, right;
    for (QAction* a : f.PUML->actions()) left << (a->isSeparator() ? QStringLiteral("-") : a->text());
    for (QAction* a : f.PUMR->actions()) right << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(left.join('|'), QStringLiteral("Zentu v1.1|-|メインウィンドウ表示|-|タイマー再生|連続再生|自動電源断|-|一時停止|次の曲|前の曲|-|終了"));
    EXPECT_EQ(f.PUML->defaultAction(), f.PUML_Zentu);
    EXPECT_TRUE(f.PUML_Zentu->font().bold());
    // After a file started, the right menu names it.
    EXPECT_EQ(right.join('|'), QStringLiteral("ファイル名 : a|-|タイトル : a.mp3|アーティスト : |アルバム : |年 : |コメント : "));
}

TEST_F(MainWindow, ContinuousPlayGoesThroughTheSortedListPassingOverUnreadableFiles) {
    WriteStream(dir_ / "b.mp3", 8);
    WriteStream(dir_ / "sub" / "c.mp3", 8);
    WriteStream(dir_ / "B.mp3", 8);
    std::ofstream(dir_ / "a.mp3") << "not audio";
    TF& f = Start({Folder(), "C"});
    ASSERT_EQ(f.MPList->count(), 4);
    // Case aside ("B" before "b" by their bytes), then the folder.
    const std::string base = dir_.string() + "/";
    EXPECT_EQ(f.ListPath(0), base + "a.mp3");
    EXPECT_EQ(f.ListPath(1), base + "B.mp3");
    EXPECT_EQ(f.ListPath(2), base + "b.mp3");
    EXPECT_EQ(f.ListPath(3), base + "sub/c.mp3");
    EXPECT_EQ(f.L_S2->text(), QStringLiteral("4"));
    EXPECT_TRUE(f.ContinuousPlay());
    EXPECT_TRUE(f.PUML_ContinuePlay->isChecked());
    // "C" alone: line 0 first, which cannot be read.
    EXPECT_EQ(f.MP->FileName(), base + "B.mp3");
    EXPECT_EQ(f.MPList->currentRow(), 1);
    EXPECT_EQ(f.L4->text(), QStringLiteral("B"));
    EXPECT_EQ(f.L3->text(), QString::fromStdString(base + "B.mp3"));
    EXPECT_EQ(f.ApplicationTitle(), QStringLiteral("B"));
    EXPECT_EQ(f.TTray->TipString(), QStringLiteral("B"));
    // Then line 2, line 3, and past the unreadable line 0 to line 1.
    ASSERT_TRUE(WaitFor([&] { return f.MP->FileName() == base + "b.mp3"; }));
    ASSERT_TRUE(WaitFor([&] { return f.MP->FileName() == base + "sub/c.mp3"; }));
    ASSERT_TRUE(WaitFor([&] { return f.MP->FileName() == base + "B.mp3"; }));
    EXPECT_NE(trace_.str().find("unreadable " + base + "a.mp3"), std::string::npos);
    EXPECT_EQ(terminations_, 0);
}

TEST_F(MainWindow, OverlappingFoldersListFilesTwiceAndLinesShowTheirPathAsText) {
    WriteStream(dir_ / "b.mp3", 8);
    WriteStream(dir_ / "sub" / "c.mp3", 8);
    WriteStream(dir_ / "sub" / "\x8f\x74.mp3", 8);  // 春 in CP932
    TF& f = Start({"D" + (dir_ / "sub").string(), Folder(), "C"});
    const std::string base = dir_.string() + "/";
    std::vector<std::string> lines;
    for (int i = 0; i < f.MPList->count(); ++i) lines.push_back(f.ListPath(i));
    EXPECT_EQ(lines, (std::vector<std::string>{base + "b.mp3", base + "sub/c.mp3", base + "sub/c.mp3",
                                               base + "sub/\x8f\x74.mp3", base + "sub/\x8f\x74.mp3"}));
    EXPECT_EQ(f.L_S2->text(), QStringLiteral("5"));
    const QModelIndex last = f.MPList->model()->index(4, 0);
    EXPECT_EQ(last.data().toString(), QString::fromStdString(base) + QStringLiteral("sub/春.mp3"));
    EXPECT_EQ(last.data(Qt::ToolTipRole), last.data());
    f.AddToList(base + "a.mp3");  // one line at its sorted place
    EXPECT_EQ(f.ListPath(0), base + "a.mp3");
    EXPECT_EQ(f.MPList->currentRow(), 1);  // the selection stays on its line
    f.MPList->setCurrentRow(-1);
    EXPECT_EQ(f.MPList->currentRow(), -1);
}

TEST_F(MainWindow, TagTextsInTheJapaneseCodePageAreShown) {
    // 春の海 and 宮城 in CP932.
    WriteStream(dir_ / "x.mp3", 8, "\x8f\x74\x82\xcc\x8a\x43", "\x8b\x7b\x8f\xe9");
    TF& f = Start({Folder()});
    EXPECT_EQ(f.L1_0->text(), QStringLiteral("春の海"));
    EXPECT_EQ(f.L1_1->text(), QStringLiteral("宮城"));
    EXPECT_EQ(f.PUMR_Title->text(), QStringLiteral("タイトル : 春の海"));
    EXPECT_EQ(f.PUMR_FileName->text(), QStringLiteral("ファイル名 : x"));
}

TEST_F(MainWindow, Id3v24TextsInUtf16AndUtf8AreShown) {
    // An ID3v2.4 tag: the title 春の海 in UTF-16BE, the artist 宮城 in UTF-8, and a comment
    // that only the tag holds, in UTF-16 with its byte-order mark.
    const std::string frames[] = {
        std::string("TIT2\0\0\0\x07\0\0\x02\x66\x25\x30\x6E\x6D\x77", 17),
        std::string("TPE1\0\0\0\x07\0\0\x03\xE5\xAE\xAE\xE5\x9F\x8E", 17),
        std::string("COMM\0\0\0\x0C\0\0\x01jpn\xFF\xFE\0\0\xFF\xFE\x77\x6D", 22),
    };
    std::string tag = frames[0] + frames[1] + frames[2] + std::string(20, '\0');
    tag = std::string("ID3\x04\0\0\0\0\0", 9) + static_cast<char>(tag.size()) + tag;
    WriteStream(dir_ / "x.mp3", 8);
    std::ifstream in(dir_ / "x.mp3", std::ios::binary);
    const std::string audio{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::ofstream(dir_ / "x.mp3", std::ios::binary) << tag << audio;
    TF& f = Start({Folder()});
    EXPECT_EQ(f.L1_0->text(), QStringLiteral("春の海"));
    EXPECT_EQ(f.L1_1->text(), QStringLiteral("宮城"));
    EXPECT_EQ(f.L1_4->text(), QStringLiteral("海"));
}

TEST_F(MainWindow, ShortNamesGiveAnEmptyL4) {
    WriteStream(dir_ / ".mp3", 8);
    TF& f = Start({Folder()});
    EXPECT_EQ(f.MP->FileName(), dir_.string() + "/.mp3");
    EXPECT_EQ(f.L4->text(), QString());
}

TEST_F(MainWindow, NothingFoundOrNothingReadableEndsWithoutSwitchingOff) {
    Start({"D" + (dir_ / "sub").string(), "T1", "P"});
    EXPECT_EQ(terminations_, 1);
    EXPECT_TRUE(window_->StopRequested());
    EXPECT_FALSE(window_->PowerOffEnabled());
    EXPECT_EQ(power_.calls, 0);

    // A lone "D": nothing is searched, not even the program's own file system.
    terminations_ = 0;
    Start({"D"});
    EXPECT_EQ(window_->MPList->count(), 0);
    EXPECT_EQ(terminations_, 1);

    // Every line unreadable or with nothing to play (a lone VBR header frame): each is tried
    // once, the choice ends, and so does the program.
    std::ofstream(dir_ / "a.mp3") << "x";
    std::string header(417, '\0');
    header.replace(0, 3, "\xFF\xFD\x80");
    header.replace(36, 8, std::string("Xing\0\0\0\x01", 8));  // a frame count of 0
    std::ofstream(dir_ / "b.mp3", std::ios::binary) << header;
    for (const char* mode : {"C", "X"}) {
        terminations_ = 0;
        trace_.str("");
        Start({Folder(), "T5", "P", mode});
        EXPECT_EQ(window_->MPList->count(), 2);
        EXPECT_EQ(terminations_, 1) << mode;
        EXPECT_EQ(power_.calls, 0);
        const std::string trace = trace_.str();
        EXPECT_NE(trace.find("nothing-readable"), std::string::npos);
        EXPECT_EQ(trace.find("play "), std::string::npos) << trace;
        const size_t empty = trace.find("open-failed " + (dir_ / "b.mp3").string() + ": no audio to play.");
        EXPECT_NE(empty, std::string::npos) << trace;
        EXPECT_EQ(trace.find("open-failed " + (dir_ / "b.mp3").string(), empty + 1), std::string::npos) << trace;
    }
}

TEST_F(MainWindow, ANonNumericTimerArgumentEndsTheStartInTheTray) {
    WriteStream(dir_ / "a.mp3", 8);
    TF& f = Start({"C", "Tx", "P", Folder()});
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0], QStringLiteral("'x' は数値ではありません"));
    EXPECT_EQ(f.MPList->count(), 0);
    EXPECT_EQ(f.MP->Status(), TMP3Status::mpsStopped);
    EXPECT_EQ(terminations_, 0);
    EXPECT_TRUE(f.ContinuousPlay());
    EXPECT_FALSE(f.PowerOffEnabled());
    EXPECT_EQ(f.RemainingMinutes(), 60);
    EXPECT_TRUE(f.TimerRunning());
    EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("60 分"));
}

TEST_F(MainWindow, TimerStatesButtonsAndMenuItems) {
    WriteStream(dir_ / "a.mp3", 8);
    TF& f = Start({Folder()});
    // Off: the buttons do nothing.
    f.SB_20->click();
    EXPECT_EQ(f.RemainingMinutes(), -1);
    EXPECT_FALSE(f.TimerRunning());
    // The menu item checks the box, which starts counting from 60.
    f.PUML_Timer->trigger();
    EXPECT_TRUE(f.CB_20->isChecked());
    EXPECT_TRUE(f.TimerRunning());
    EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("60 分"));
    EXPECT_EQ(f.PUML_Timer->text(), QStringLiteral("タイマー再生 : 60 分"));
    for (int i = 0; i < 3; ++i) f.SB_20->click();
    EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("90 分"));
    for (int i = 0; i < 9; ++i) f.SB_21->click();
    EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("10 分"));  // never below by this button
    EXPECT_EQ(f.PUML_Timer->text(), QStringLiteral("タイマー再生 : 10 分"));
    // Unchecked from the box: off again everywhere.
    f.CB_20->setChecked(false);
    EXPECT_FALSE(f.PUML_Timer->isChecked());
    EXPECT_FALSE(f.TimerRunning());
    EXPECT_EQ(f.RemainingMinutes(), -1);
    EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("------"));
    EXPECT_EQ(f.PUML_Timer->text(), QStringLiteral("タイマー再生"));

    // Continuous play and power-off: menu item and box follow each other.
    f.PUML_ContinuePlay->trigger();
    EXPECT_TRUE(f.CB_21->isChecked());
    EXPECT_TRUE(f.ContinuousPlay());
    f.CB_21->setChecked(false);
    EXPECT_FALSE(f.PUML_ContinuePlay->isChecked());
    f.PUML_PowerOff->trigger();
    EXPECT_TRUE(f.CB_22->isChecked());
    EXPECT_TRUE(f.PowerOffEnabled());
    f.PUML_PowerOff->trigger();
    EXPECT_FALSE(f.PowerOffEnabled());
}

TEST_F(MainWindow, TimerPlayRunsOutAndEndsOrSwitchesOff) {
    WriteStream(dir_ / "a.mp3", 400);  // ten seconds: still playing when the count ends
    {
        TF& f = Start({Folder(), "T2"}, 100);
        EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("2 分"));
        ASSERT_TRUE(WaitFor([&] { return terminations_ > 0; }));
        // The end came from the tick that reached 0; a tick that comes before the end-of-play
        // event is handled counts no further.
        const std::string trace = trace_.str();
        EXPECT_NE(trace.find("minute 1\nminute 0\n"), std::string::npos) << trace;
        EXPECT_GT(trace.find("exit"), trace.find("minute 0"));
        EXPECT_EQ(f.RemainingMinutes(), 0);
        EXPECT_TRUE(f.StopRequested());
        EXPECT_EQ(power_.calls, 0);
    }
    terminations_ = 0;
    {
        TF& f = Start({Folder(), "P", "T1"}, 100);
        ASSERT_TRUE(WaitFor([&] { return power_.calls > 0; }));
        EXPECT_EQ(power_.calls, 1);
        EXPECT_EQ(terminations_, 0);  // the system's shutdown ends the program
        EXPECT_EQ(f.MP->Status(), TMP3Status::mpsStopped);
        // The power-off returned and the program stays open: the count stays at 0.
        Wait(350);
        EXPECT_EQ(power_.calls, 1);
        EXPECT_EQ(f.RemainingMinutes(), 0);
        EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("0 分"));
        EXPECT_EQ(f.PUML_Timer->text(), QStringLiteral("タイマー再生 : 0 分"));
        EXPECT_EQ(Count("minute -"), 0);
        f.CB_20->setChecked(false);  // timer play off: no count at all
        EXPECT_EQ(f.L2_Timer->text(), QStringLiteral("------"));
        EXPECT_EQ(terminations_, 0);
    }
    // T0 never reaches 0 on a tick.
    power_.calls = 0;
    {
        TF& f = Start({Folder(), "T0", "P"}, 20);
        Wait(200);
        EXPECT_LT(f.RemainingMinutes(), -2);
        EXPECT_EQ(power_.calls, 0);
        EXPECT_EQ(terminations_, 0);
    }
    // Exit with both options checked ends without switching off.
    {
        TF& f = Start({Folder(), "T30", "P"});
        f.SB_Exit->click();
        EXPECT_EQ(terminations_, 1);
        EXPECT_EQ(power_.calls, 0);
        EXPECT_FALSE(f.PowerOffEnabled());
    }
}

TEST_F(MainWindow, ReportListTimesAndGaugeOncePlaying) {
    WriteStream(dir_ / "track01.mp3", 400);  // 10.45 s
    TF& f = Start({Folder()});
    ASSERT_EQ(f.MP->Status(), TMP3Status::mpsPlaying);
    Wait(600);
    for (int i = 0; i < 250; ++i) f.TimerTimer();
    EXPECT_EQ(f.LB1->count(), 201);
    EXPECT_EQ(f.LB1->item(200)->text(), QStringLiteral("継／-1／track01.mp3"));
    EXPECT_EQ(f.LB1->currentRow(), 200);
    EXPECT_EQ(f.LT_1->text(), QStringLiteral("00 分 10 秒"));
    EXPECT_EQ(f.LT_3->text(), QStringLiteral("00 分 01 秒"));
    EXPECT_EQ(f.Gauge->value(), 10);
    f.CB_22->setChecked(true);
    f.CB_20->setChecked(true);
    f.TimerTimer();
    EXPECT_EQ(f.LB1->item(200)->text(), QStringLiteral("断／60／track01.mp3"));
    EXPECT_EQ(f.LB1->count(), 201);
}

TEST_F(MainWindow, DoubleClickStartsTheSelectedFileAndExitEnds) {
    WriteStream(dir_ / "a.mp3", 400);
    WriteStream(dir_ / "b.mp3", 400);
    TF& f = Start({Folder(), "C"});
    EXPECT_EQ(f.MP->FileName(), dir_.string() + "/a.mp3");
    f.MPList->setCurrentRow(1);
    f.MPListDblClick();
    ASSERT_TRUE(WaitFor([&] { return f.MP->FileName() == dir_.string() + "/b.mp3"; }));
    EXPECT_EQ(f.MP->Status(), TMP3Status::mpsPlaying);
    EXPECT_EQ(f.L4->text(), QStringLiteral("b"));

    // Show and hide through the menu item's caption.

    // A line that cannot be played leaves nothing playing, but never blocks the next choice.
    std::ofstream(dir_ / "ab.mp3") << "not audio";
    f.AddToList((dir_ / "ab.mp3").string());  // sorted between a and b
    for (int round = 1; round <= 2; ++round) {
        f.MPList->setCurrentRow(1);
        f.MPListDblClick();
        ASSERT_TRUE(WaitFor([&] { return Count("unreadable ") == round; }));
        EXPECT_FALSE(f.Playing());
        EXPECT_EQ(f.L4->text(), QStringLiteral("b"));  // the display keeps the last file
    }
    f.MPList->setCurrentRow(0);
    f.MPListDblClick();
    EXPECT_EQ(f.MP->FileName(), dir_.string() + "/a.mp3");
    f.StopPlaying();
    f.MPList->setCurrentRow(1);
    f.PlayAgain();  // on the bad line: the next one
    ASSERT_TRUE(WaitFor([&] { return f.Playing() && f.MP->FileName() == dir_.string() + "/b.mp3"; }));

    f.PUML_MainWindow->trigger();
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(f.PUML_MainWindow->text(), QStringLiteral("メインウィンドウ非表示"));
    f.SB_TaskTray->click();
    EXPECT_TRUE(f.isVisible());  // no tray here: hiding would leave no way back
    f.PUML_Exit->trigger();
    EXPECT_EQ(terminations_, 1);
    EXPECT_TRUE(f.StopRequested());
    f.PlayNext();  // nothing starts while the program ends
    EXPECT_FALSE(f.Playing());
}

TEST_F(MainWindow, PauseNextPreviousAndTheGaugeFromTrayMenuAndPointer) {
    WriteStream(dir_ / "a.mp3", 200);  // 5.2 s
    WriteStream(dir_ / "b.mp3", 400);  // 10.45 s
    WriteStream(dir_ / "c.mp3", 400);
    std::vector<int> draws{2, 0, 1};  // random play: c, then a, then b
    random_ = [&draws](int) {
        const int line = draws.empty() ? 0 : draws.front();
        if (!draws.empty()) draws.erase(draws.begin());
        return line;
    };
    TF& f = Start({Folder()});
    const auto playing = [&](const char* name) {
        return WaitFor([&] { return f.Playing() && f.MP->FileName() == (dir_ / name).string(); });
    };
    ASSERT_TRUE(playing("c.mp3"));
    EXPECT_FALSE(f.PUML_Pause->isChecked());

    // The icon's middle button pauses; a paused file logs no report lines, and the menu
    // item is checked. The item resumes.
    emit f.TTray->TrayIcon()->activated(QSystemTrayIcon::MiddleClick);
    EXPECT_TRUE(f.Paused());
    EXPECT_TRUE(f.PUML_Pause->isChecked());
    const int lines = f.LB1->count();
    f.TimerTimer();
    EXPECT_EQ(f.LB1->count(), lines);
    f.PUML_Pause->trigger();
    EXPECT_TRUE(f.Playing());
    EXPECT_FALSE(f.PUML_Pause->isChecked());
    f.TimerTimer();
    EXPECT_EQ(f.LB1->count(), lines + 1);

    // A click in the middle of the gauge jumps to the middle of the file, shown at once.
    ASSERT_TRUE(WaitFor([&] { return f.MP->Track().durationMs == 10448; }));  // exact once the frames are counted
    std::vector<int64_t> seeks;
    QObject::connect(&f, &TF::Seeked, [&](int64_t ms) { seeks.push_back(ms); });
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, QPointF(120, 7), f.Gauge->mapToGlobal(QPointF(120, 7)), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(f.Gauge, &event);
    }
    EXPECT_EQ(seeks, std::vector<int64_t>{5224});  // half of 400 frames of 1152 samples at 44.1 kHz
    EXPECT_EQ(f.LT_3->text(), QStringLiteral("00 分 05 秒"));
    EXPECT_EQ(f.Gauge->value(), 50);

    // Next from paused; the new file's length and start show with its name.
    f.TogglePause();
    f.PUML_Next->trigger();
    ASSERT_TRUE(playing("a.mp3"));
    EXPECT_EQ(f.LT_1->text(), QStringLiteral("00 分 05 秒"));
    EXPECT_EQ(f.LT_3->text(), QStringLiteral("00 分 00 秒"));
    EXPECT_EQ(f.Gauge->value(), 0);
    // Previous goes back to the file played before, although play is random; before the
    // first file there is none, and random play takes the next.
    f.PUML_Previous->trigger();
    ASSERT_TRUE(playing("c.mp3"));
    f.PUML_Previous->trigger();
    ASSERT_TRUE(playing("b.mp3"));
    EXPECT_EQ(f.TrackNumber(), 4);
    EXPECT_TRUE(draws.empty());

    // Timer play counts on while paused, and its end ends the program.
    Start({Folder(), "T2"}, 150);
    window_->PausePlaying();
    ASSERT_TRUE(WaitFor([&] { return terminations_ > 0; }));
    const std::string trace = trace_.str();
    EXPECT_LT(trace.rfind("pause"), trace.rfind("minute 0"));
}

// Where a widget draws: a label its text's pixels, in its parent's coordinates.
QRect Drawn(QWidget* w) {
    if (!qobject_cast<QLabel*>(w)) return w->geometry();
    QImage image(w->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    w->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0) box |= QRect(x, y, 1, 1);
    return box.translated(w->pos());
}

TEST_F(MainWindow, TextsNeverRunIntoEachOtherOrIntoAFrameLine) {
    const std::string name(200, 'n');
    WriteStream(dir_ / (name + ".mp3"), 8);
    TF& f = Start({Folder()});
    f.LT_1->setText(QStringLiteral("9999 分 59 秒"));
    f.LT_3->setText(QStringLiteral("101 分 08 秒"));
    // Long names are cut in the middle, the whole name in the tooltip; short ones are whole.
    EXPECT_EQ(f.L4->text(), QString::fromStdString(name));
    EXPECT_EQ(f.L4->toolTip(), f.L4->text());
    EXPECT_EQ(f.L3->toolTip(), QString::fromStdString(dir_.string() + "/" + name + ".mp3"));
    EXPECT_TRUE(f.L1_1->toolTip().isEmpty());
    const QFont font = FitFont(WindowFont(), f.LT_1->text(), 60);  // times: whole, smaller
    EXPECT_LE(QFontMetrics(font).horizontalAdvance(f.LT_1->text()), 60);
    EXPECT_GE(font.pixelSize(), 9);

    // No text meets another control, leaves its box or covers a pixel its box draws itself.
    for (QWidget* parent : std::vector<QWidget*>{&f, f.GB_0, f.GB_1, f.GB_2}) {
        QImage own(parent->size(), QImage::Format_ARGB32);
        own.fill(Qt::transparent);
        if (parent != &f) parent->render(&own, QPoint(), QRegion(), QWidget::RenderFlags());
        std::vector<QRect> drawn;
        for (QWidget* w : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (w->isVisibleTo(parent) && !w->inherits("QMenu") && !Drawn(w).isEmpty()) drawn.push_back(Drawn(w));
        for (size_t i = 0; i < drawn.size(); ++i) {
            EXPECT_TRUE(QRect(QPoint(), parent->size()).contains(drawn[i]));
            for (int y = drawn[i].top(); y <= drawn[i].bottom(); ++y)
                for (int x = drawn[i].left(); x <= drawn[i].right(); ++x) ASSERT_EQ(qAlpha(own.pixel(x, y)), 0) << x << "," << y;
            for (size_t j = i + 1; j < drawn.size(); ++j) EXPECT_FALSE(drawn[i].intersects(drawn[j])) << drawn[i].x() << "," << drawn[i].y();
        }
    }
}

// Screenshots for the documentation, when ZENTU_SCREENSHOT_DIR names a folder.
TEST_F(MainWindow, Screenshots) {
    const char* out = std::getenv("ZENTU_SCREENSHOT_DIR");
    if (!out) GTEST_SKIP() << "ZENTU_SCREENSHOT_DIR not set";
    WriteStream(dir_ / "01 春の海.mp3", 400, "\x8f\x74\x82\xcc\x8a\x43", "\x8b\x7b\x8f\xe9\x93\xb9\x97\x59");
    WriteStream(dir_ / "02 jumping_sky.mp3", 400);
    WriteStream(dir_ / "sub" / "03 other.mp3", 400);
    TF& f = Start({Folder(), "C", "T45"});
    f.PUML_MainWindowClick();
    Wait(1200);
    for (int i = 0; i < 3; ++i) {
        f.TimerTimer();
        Wait(300);
    }
    ASSERT_TRUE(f.grab().save(QString::fromUtf8(out) + "/main-window.png"));
    for (QMenu* menu : {f.PUML, f.PUMR}) {
        menu->popup(QPoint(0, 0));
        Wait(100);
        ASSERT_TRUE(menu->grab().save(QString::fromUtf8(out) + (menu == f.PUML ? "/menu-left.png" : "/menu-right.png")));
        menu->hide();
    }
}

TEST_F(MainWindow, ASoundOutputThatCannotOpenIsShownOnceAndNothingPlays) {
    WriteStream(dir_ / "a.mp3", 8);
    WriteStream(dir_ / "b.mp3", 8);
    setenv("ZENTU_AUDIO", "alsa", 1);
    setenv("ZENTU_ALSA_DEVICE", "zentu_no_such_device", 1);
    TF& f = Start({Folder(), "C"});
    setenv("ZENTU_AUDIO", "null", 1);
    unsetenv("ZENTU_ALSA_DEVICE");
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_TRUE(errors_[0].contains(QStringLiteral("TSoundOut.Open")));
    EXPECT_EQ(f.MP->Status(), TMP3Status::mpsStopped);
    EXPECT_EQ(terminations_, 0);
    EXPECT_EQ(f.MPList->currentRow(), 0);
}

// While a playback error's box waits, the media controls say Stopped, where the sound stopped.
TEST_F(MainWindow, WhileAPlaybackErrorWaitsTheMediaControlsSayStopped) {
    WriteStream(dir_ / "a.mp3", 200);
    auto& loop = static_cast<TQtMainLoop&>(MainLoop());
    loop.SetExceptionDisplay([this](std::exception_ptr error) { window_->ShowPlaybackError(error); });
    setenv("ZENTU_AUDIO", "alsa", 1);
    setenv("ZENTU_ALSA_DEVICE", "file:FILE=/dev/full,FORMAT=raw", 1);
    TF& f = Start({Folder(), "C"});
    setenv("ZENTU_AUDIO", "null", 1);
    unsetenv("ZENTU_ALSA_DEVICE");
    TMprisService mpris(f, QDBusConnection(QStringLiteral("zentu-test-no-bus")), nullptr);
    inErrorBox_ = [&] {
        EXPECT_EQ(mpris.PlaybackStatus().toStdString(), "Stopped");
        const qlonglong at = mpris.Position();
        Wait(200);  // as the box's own loop runs
        EXPECT_EQ(mpris.Position(), at);
    };
    EXPECT_TRUE(WaitFor([&] { return !errors_.empty(); }));
    loop.SetExceptionDisplay(nullptr);
}
