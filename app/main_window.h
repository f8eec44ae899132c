// TF: Zentu's one window. It reads the command line, searches the chosen folders into the
// sorted play list, plays the files at random or in list order, shows the tags, the times
// and a report line per second, and offers everything through two tray menus. Timer play
// counts the minutes down and ends the program, or switches the computer off.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/app_logic.h"
#include "app/play_list.h"
#include "components/mm_timer.h"
#include "components/search_file.h"
#include "components/task_tray.h"
#include "platform/power_off.h"
#include "player/mp3_player.h"

namespace zentu {

// How the window is set up; the defaults are the program's, tests replace parts.
struct TFOptions {
    std::vector<std::string> args;              // the command line, without the program name
    TPowerControl* powerControl = nullptr;      // required; not owned
    std::string executablePath;                 // whose file system is searched without "D"
    bool search = true;                         // false: FormCreate leaves MPList as it is
    std::function<void(const QString&)> showError;  // the standard error box
    std::function<void()> terminate;            // tells the application to end
    std::function<int(int)> random;             // 0 .. n-1
    std::function<bool(const std::string&)> isValidFile;  // TMP3Player::IsValidFile
    uint32_t minuteMs = 60000;                  // length of a timer-play minute
    std::function<bool()> trayAvailable;        // whether a notification area exists now
    std::ostream* trace = nullptr;              // one line per event when set
};

enum class TMPCommand { Successful, Change, Timer };

class TF : public QWidget {
    Q_OBJECT

public:
    explicit TF(TFOptions options);
    ~TF() override;

    // Start-up: command line, search, the first file (or the end when none was found).
    void FormCreate();

    // Handlers.
    void MPControl(TMPCommand command);
    void MPEndPlay(TMP3EndPlayReason reason);
    void TimerTimer();
    void MPListDblClick();
    void PUML_MainWindowClick();
    void PUML_ExitClick();
    void CB_20Click();
    void CB_21Click();
    void CB_22Click();
    void SB_20Click();
    void SB_21Click();
    // The minute tick, on the main thread.
    void MMTTimer();

    // Play control for the tray, its menu and the desktop's media controls. Each works
    // whatever the player's state, and none starts anything while the program is ending.
    void PlayNext();      // the next file as the play mode chooses it
    // The file played before this one; without one, continuous play takes the line before
    // and random play does as PlayNext.
    void PlayPrevious();
    void PlayAgain();     // paused: resumes; stopped: the selected line again, or the next one
    void StopPlaying();   // stops; nothing follows
    void PausePlaying();  // playing: pauses
    void TogglePause();   // playing: pauses; paused: resumes; stopped: nothing
    void PlayOrPause();   // playing: pauses; otherwise as PlayAgain
    // Jumps to `ms` in the file under way (playing or paused) and reports it as Seeked.
    void SeekTo(int64_t ms);
    void RaiseWindow();
    // An error from the player's threads, in the standard error box. While the box waits the
    // sound has stopped, and the file counts as stopped (the player stops when it closes).
    void ShowPlaybackError(std::exception_ptr error);
    bool PlaybackFailed() const { return playbackFailed_; }
    bool Playing() const { return MP->Status() == TMP3Status::mpsPlaying; }
    bool Paused() const { return MP->Status() == TMP3Status::mpsPaused; }
    // The files started, counted from 1 (0 before the first): the same file played twice is
    // two tracks. The displays show the last one; MP->Track() describes it.
    int TrackNumber() const { return trackNumber_; }

    // Program-wide state.
    bool StopRequested() const { return stopRequested_; }
    bool PowerOffEnabled() const { return powerOffEnabled_; }
    bool ContinuousPlay() const { return continuousPlay_; }
    int32_t RemainingMinutes() const { return remainingMinutes_; }
    const std::array<std::string, app::kSearchFolderSlots>& SearchFolders() const { return searchFolders_; }
    // The text of the program's taskbar entry.
    const QString& ApplicationTitle() const { return applicationTitle_; }
    // Whether the application was told to end.
    bool Terminated() const { return terminated_; }
    bool TimerRunning() const { return MMT.Enabled(); }
    int PowerOffRequests() const { return powerOffRequests_; }
    // The path of MPList's line i, as bytes.
    std::string ListPath(int line) const;
    // Adds a path to MPList (the search's OnFind).
    void AddToList(const std::string& path);

    // Controls.
    QGroupBox *GB_0, *GB_1, *GB_2;
    QLabel *L0_00, *L4, *L0_0, *L0_1, *L0_2, *L0_3, *L0_4;
    QLabel *L1_0, *L1_1, *L1_2, *L1_3, *L1_4;
    QFrame* Bevel_0;
    QLabel *LT_0, *LT_1, *LT_2, *LT_3, *L0;
    QProgressBar* Gauge;
    QListWidget* LB1;
    TPlayList* MPList;
    QCheckBox *CB_20, *CB_21, *CB_22;
    QLabel *L2_0, *L2_Timer, *L2_1, *L2_2, *L2_01;
    QPushButton *SB_20, *SB_21, *SB_TaskTray, *SB_Exit;
    QLabel *Image, *L_S0, *L_S1, *L_S2, *L3;

    QMenu *PUML, *PUMR;
    QAction *PUML_Zentu, *PUML_MainWindow, *PUML_Timer, *PUML_ContinuePlay, *PUML_PowerOff, *PUML_Exit;
    QAction *PUML_Pause, *PUML_Next, *PUML_Previous;
    QAction *PUMR_FileName, *PUMR_Title, *PUMR_Artist, *PUMR_Album, *PUMR_Year, *PUMR_Comment;

    TMMTimer MMT;
    TSearchFile SFile;
    QTimer Timer;
    TTaskTray* TTray;
    std::unique_ptr<TMP3Player> MP;

signals:
    // The file shown or the play status changed.
    void PlayStateChanged();
    // A jump within the file under way, to `ms`.
    void Seeked(int64_t ms);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void StartUp();
    void BuildControls();
    void BuildMenus();
    void FileSearch();
    void SFileFind(const std::string& name);
    bool TryStart(int line);
    bool StartChosen(bool backwards);
    // The next line by the play mode's rules (continuous or random) among those `usable` passes.
    app::TChoice Choose(const std::function<bool(int)>& usable, bool backwards = false) const;
    // The player asks for the file to follow the one whose end plays now.
    void QueryNext(std::string& next);
    // What the stopped event of a Stop asked for here does; the double click's "Change" is
    // what a stop from elsewhere does.
    enum class TAfterStop { Change, Next, Previous, Again, Nothing };
    void StopThen(TAfterStop next);
    void RunAfterStop(TAfterStop next);
    void SetPaused(bool paused);
    // The pause item's mark and the play items' state, from the player's status.
    void UpdatePlayItems();
    void TrayChanged(bool available);
    void RefreshDisplay();
    // Length, position and gauge of the file under way, at `positionMs`.
    void ShowTimes(int64_t positionMs);
    void ShowRemainingMinutes();
    void Terminate();
    void Trace(const std::string& line);
    // Runs a handler; an error that escapes it goes to the standard error box.
    void Guarded(const std::function<void()>& handler);
    void ShowError(std::exception_ptr error);
    bool TrayAvailable() const;

    TFOptions options_;
    std::mt19937 rng_;
    bool stopRequested_ = false;
    bool powerOffEnabled_ = false;
    bool continuousPlay_ = false;
    int32_t remainingMinutes_ = app::kTimerOff;
    std::array<std::string, app::kSearchFolderSlots> searchFolders_;
    QString applicationTitle_;
    bool terminated_ = false;
    int powerOffRequests_ = 0;
    int trackNumber_ = 0;
    bool playbackFailed_ = false;
    app::TPlayHistory history_;
    // Set from a Stop of ours until its stopped event arrives.
    std::optional<TAfterStop> afterStop_;
    // The line named to the player as the next file, started when the end comes.
    std::optional<int> queuedLine_;
    // Ticks queued from the timer's thread before the timer was switched off or restarted
    // are dropped: each start has a number of its own.
    std::atomic<uint32_t> timerGeneration_{0};
};

// The program's icon, drawn at run time (32 × 32).
QPixmap ZentuIcon();

// The font of the window: a Japanese desktop font, 12 px.
QFont WindowFont(bool bold = false);
// `font`, smaller where `text` would be wider than `width` (down to 6 px).
QFont FitFont(QFont font, const QString& text, int width);

}  // namespace zentu
