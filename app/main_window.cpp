#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScopeGuard>
#include <QScreen>
#include <QSystemTrayIcon>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ostream>
#include <utility>

#include "app/window_activation.h"
#include "platform/exceptions.h"
#include "platform/text_codec.h"

namespace zentu {

namespace {

const QString kTitle = QStringLiteral("Zentu v1.1");
const QString kShowWindow = QStringLiteral("メインウィンドウ表示");
const QString kHideWindow = QStringLiteral("メインウィンドウ非表示");

// File names are bytes that do not say their encoding.
QString Display(const std::string& bytes) { return QString::fromStdString(UntypedTextToUtf8(bytes)); }

// A label of fixed size that never draws past its edges: a text too long for it is elided
// (the whole text then in its tooltip) or, for the time labels, set in a smaller font.
class TFitLabel final : public QLabel {
public:
    enum class TFit { ElideMiddle, ElideRight, Shrink };
    TFitLabel(QWidget* parent, TFit fit) : QLabel(parent), fit_(fit) {}

    void TextChanged() {
        const bool cut = fit_ != TFit::Shrink && fontMetrics().horizontalAdvance(text()) > width();
        setToolTip(cut ? text() : QString());
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QFont font = this->font();
        QString shown = text();
        if (fit_ == TFit::Shrink) {
            font = FitFont(font, shown, width());
        } else {
            shown = fontMetrics().elidedText(shown, fit_ == TFit::ElideMiddle ? Qt::ElideMiddle : Qt::ElideRight, width());
        }
        painter.setFont(font);
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    }

private:
    TFit fit_;
};

// The position gauge: while there is somewhere to go, a press or a drag shows the place
// under the pointer and the release jumps there.
class TSeekGauge final : public QProgressBar {
public:
    explicit TSeekGauge(QWidget* parent) : QProgressBar(parent) {}
    std::function<bool()> Seekable;
    std::function<void(double fraction)> OnSeek;
    bool Dragging() const { return dragging_; }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton || !Seekable || !Seekable()) return QProgressBar::mousePressEvent(event);
        dragging_ = true;
        Follow(event);
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (dragging_) Follow(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (!dragging_ || event->button() != Qt::LeftButton) return QProgressBar::mouseReleaseEvent(event);
        dragging_ = false;
        Follow(event);
        if (OnSeek) OnSeek(Fraction(event));
    }

private:
    double Fraction(const QMouseEvent* event) const {
        return std::clamp(event->position().x() / std::max(1, width()), 0.0, 1.0);
    }
    void Follow(const QMouseEvent* event) { setValue(static_cast<int>(std::ceil(Fraction(event) * 100))); }

    bool dragging_ = false;
};

// Labels size themselves to their text, except those of a fixed size.
void SetText(QLabel* label, const QString& text) {
    label->setText(text);
    if (auto* fit = dynamic_cast<TFitLabel*>(label))
        fit->TextChanged();
    else if (label->property("autoSize").toBool())
        label->adjustSize();
}

QLabel* MakeLabel(QWidget* parent, int x, int y, const QString& text, bool bold) {
    auto* label = new QLabel(text, parent);
    label->setFont(WindowFont(bold));
    label->setTextFormat(Qt::PlainText);
    label->move(x, y);
    label->setProperty("autoSize", true);
    label->adjustSize();
    return label;
}

QLabel* MakeFitLabel(QWidget* parent, int x, int y, int width, const QString& text, TFitLabel::TFit fit) {
    auto* label = new TFitLabel(parent, fit);
    label->setFont(WindowFont());
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setGeometry(x, y, width, label->sizeHint().height());
    label->TextChanged();
    return label;
}

template <class TList>
TList* MakeList(QWidget* parent, const QRect& geometry) {
    auto* list = new TList(parent);
    list->setGeometry(geometry);
    list->setFont(WindowFont());
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setUniformItemSizes(true);
    list->setStyleSheet(QStringLiteral("QListView { background: palette(button); }"));
    return list;
}

QPushButton* MakeButton(QWidget* parent, const QRect& geometry, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setGeometry(geometry);
    button->setFont(WindowFont());
    button->setFocusPolicy(Qt::NoFocus);  // speed buttons take no focus
    return button;
}

QCheckBox* MakeCheckBox(QWidget* parent, const QRect& geometry, const QString& text) {
    auto* box = new QCheckBox(text, parent);
    box->setGeometry(geometry);
    box->setFont(WindowFont());
    return box;
}

QGroupBox* MakeGroup(QWidget* parent, const QRect& geometry, const QString& title) {
    auto* group = new QGroupBox(title, parent);
    group->setGeometry(geometry);
    group->setFont(WindowFont(true));
    // The frame line runs through the middle of the title, and so stays above the controls
    // placed 12 or more pixels down in the box.
    group->setStyleSheet(QStringLiteral("QGroupBox { border: 1px solid palette(mid); margin-top: 6px; }"
                                        "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 1px; }"));
    return group;
}

}  // namespace

QFont WindowFont(bool bold) {
    QFont font;
    font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans CJK JP"),
                      QStringLiteral("VL PGothic"), QStringLiteral("TakaoPGothic"), QStringLiteral("sans-serif")});
    font.setPixelSize(12);
    font.setBold(bold);
    return font;
}

QFont FitFont(QFont font, const QString& text, int width) {
    while (font.pixelSize() > 6 && QFontMetrics(font).horizontalAdvance(text) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

QPixmap ZentuIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(20, 60, 120), 1));
    painter.setBrush(QColor(40, 110, 200));
    painter.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 6, 6);
    // A pair of quavers.
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(6, 19, 8, 6));
    painter.drawEllipse(QRectF(18, 17, 8, 6));
    painter.drawRect(QRectF(12, 7, 2, 15));
    painter.drawRect(QRectF(24, 5, 2, 15));
    QPainterPath beam;
    beam.moveTo(12, 7);
    beam.lineTo(26, 5);
    beam.lineTo(26, 9);
    beam.lineTo(12, 11);
    beam.closeSubpath();
    painter.drawPath(beam);
    return pixmap;
}

TF::TF(TFOptions options)
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), options_(std::move(options)) {
    Assert(options_.powerControl != nullptr, "TF needs a power control");
    rng_.seed(static_cast<std::mt19937::result_type>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^
        std::chrono::system_clock::now().time_since_epoch().count()));
    if (!options_.random) options_.random = [this](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); };
    if (!options_.isValidFile) options_.isValidFile = [](const std::string& name) { return TMP3Player::IsValidFile(name); };
    if (!options_.terminate) options_.terminate = [] { QCoreApplication::exit(0); };
    if (!options_.showError)
        options_.showError = [](const QString& text) { QMessageBox::critical(nullptr, kTitle, text); };

    applicationTitle_ = kTitle;
    setWindowTitle(QStringLiteral("Zentu v1.1 メインウインドウ"));
    setFixedSize(792, 497);
    setFont(WindowFont());
    setWindowIcon(QIcon(ZentuIcon()));
    BuildControls();
    BuildMenus();

    // The minute tick arrives on the timer's own thread; its work runs on ours, queued.
    MMT.SetEnabled(false);
    MMT.SetInterval(options_.minuteMs);
    MMT.SetResolution(options_.minuteMs);
    MMT.OnTimer = [this](TMMTimer&, uint32_t) {
        const uint32_t generation = timerGeneration_.load();
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == timerGeneration_.load() && MMT.Enabled()) Guarded([this] { MMTTimer(); });
            },
            Qt::QueuedConnection);
    };

    SFile.OnFind = [this](TSearchFile&, const std::string& name, TSearchFileData, bool&) { SFileFind(name); };

    Timer.setInterval(1000);
    connect(&Timer, &QTimer::timeout, this, [this] { Guarded([this] { TimerTimer(); }); });
    Timer.start();

    TTray = new TTaskTray(this);
    TTray->SetIcon(QIcon(ZentuIcon()));
    TTray->SetPopupMenuL(PUML);
    TTray->SetPopupMenuR(PUMR);
    TTray->OnMiddleClick = [this](TTaskTray&) { Guarded([this] { TogglePause(); }); };
    TTray->OnActivate = [this](TTaskTray&) { RaiseWindow(); };
    TTray->OnScroll = [this](TTaskTray&, int notches) {
        Guarded([this, notches] { MP->SetVolume(app::VolumeAfterNotches(MP->Volume(), notches)); });
        emit PlayStateChanged();  // the media controls announce the new volume
    };
    if (options_.trayAvailable) TTray->SetAvailabilityProbe(options_.trayAvailable);
    // Registered also without a notification area: one that appears later takes the icon.
    try {
        TTray->SetRegistered(true);
        TTray->Loaded();
    } catch (const Exception& error) {
        Trace(std::string("tray-error ") + error.what());
    }
    connect(TTray, &TTaskTray::AvailabilityChanged, this,
            [this](bool available) { Guarded([this, available] { TrayChanged(available); }); });
    if (options_.trace && TTray->TrayIcon()) {
        connect(TTray->TrayIcon(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            Trace(reason == QSystemTrayIcon::Trigger   ? "activated:Trigger"
                  : reason == QSystemTrayIcon::Context ? "activated:Context"
                                                       : "activated:other");
        });
    }

    MP = std::make_unique<TMP3Player>();
    MP->BeginLoading();
    MP->SetAutoOpen(true);
    MP->SetAutoPlay(true);
    MP->SetChangePosStep(400);
    MP->SetDecodePriority(TThreadPriority::tpNormal);
    MP->SetEqualizerEnabled(false);
    MP->SetEqualizerCount(6);
    MP->SetEqualizerMode(TMP3EqualizerMode::memSubBand);
    MP->SetNoisySeek(true);
    MP->SetUsingCpuCapabilities(kAllCpuCapabilities);
    MP->SetVolBalance(0);
    MP->SetVolume(100);
    MP->OnEndPlay = [this](TMP3Player&, TMP3EndPlayReason reason) { Guarded([this, reason] { MPEndPlay(reason); }); };
    MP->OnQueryNext = [this](TMP3Player&, std::string& next) { Guarded([this, &next] { QueryNext(next); }); };
    MP->OnChangeStatus = [this](TMP3Player&) {
        UpdatePlayItems();
        emit PlayStateChanged();
    };
    MP->Loaded();
    MP->SetInvertPolarity(false);
}

TF::~TF() {
    // The tick must not reach a window that is going away.
    MMT.SetEnabled(false);
    ++timerGeneration_;
    Timer.stop();
    if (MP) {
        MP->OnEndPlay = nullptr;
        MP->OnChangeStatus = nullptr;
        MP->OnQueryNext = nullptr;
        MP.reset();
    }
}

void TF::BuildControls() {
    GB_0 = MakeGroup(this, QRect(0, 0, 240, 201), QStringLiteral("再生中のファイルのID3タグ情報"));
    L0_00 = MakeLabel(GB_0, 5, 15, QStringLiteral("ファイル名"), true);
    L4 = MakeFitLabel(GB_0, 10, 29, 225, QStringLiteral("L4"), TFitLabel::TFit::ElideMiddle);
    Bevel_0 = new QFrame(GB_0);
    Bevel_0->setFrameShape(QFrame::HLine);
    Bevel_0->setFrameShadow(QFrame::Sunken);
    Bevel_0->setGeometry(5, 45, 230, 2);  // only its top edge is drawn
    L0_0 = MakeLabel(GB_0, 5, 50, QStringLiteral("Title"), true);
    L1_0 = MakeFitLabel(GB_0, 10, 65, 225, QStringLiteral("Title"), TFitLabel::TFit::ElideRight);
    L0_1 = MakeLabel(GB_0, 5, 80, QStringLiteral("Artist"), true);
    L1_1 = MakeFitLabel(GB_0, 10, 95, 225, QStringLiteral("Title"), TFitLabel::TFit::ElideRight);
    L0_2 = MakeLabel(GB_0, 5, 110, QStringLiteral("Album"), true);
    L1_2 = MakeFitLabel(GB_0, 10, 125, 225, QStringLiteral("Title"), TFitLabel::TFit::ElideRight);
    L0_3 = MakeLabel(GB_0, 5, 140, QStringLiteral("Year"), true);
    L1_3 = MakeFitLabel(GB_0, 10, 155, 225, QStringLiteral("Title"), TFitLabel::TFit::ElideRight);
    L0_4 = MakeLabel(GB_0, 5, 170, QStringLiteral("Comment"), true);
    L1_4 = MakeFitLabel(GB_0, 10, 185, 225, QStringLiteral("Title"), TFitLabel::TFit::ElideRight);

    LT_0 = MakeLabel(this, 0, 210, QStringLiteral("再生時間"), true);
    LT_1 = MakeFitLabel(this, 55, 210, 65, QStringLiteral("99 分 99 秒"), TFitLabel::TFit::Shrink);
    LT_2 = MakeLabel(this, 125, 210, QStringLiteral("現在時間"), true);
    LT_3 = MakeFitLabel(this, 180, 210, 60, QStringLiteral("99 分 99 秒"), TFitLabel::TFit::Shrink);
    auto* gauge = new TSeekGauge(this);
    gauge->Seekable = [this] { return MP && MP->Status() != TMP3Status::mpsStopped && MP->Track().durationMs > 0; };
    gauge->OnSeek = [this](double fraction) { SeekTo(std::llround(fraction * MP->Track().durationMs)); };
    Gauge = gauge;
    Gauge->setGeometry(0, 225, 240, 15);
    Gauge->setRange(0, 100);
    Gauge->setValue(0);
    Gauge->setTextVisible(false);
    Gauge->setStyleSheet(QStringLiteral("QProgressBar { background: palette(button); border: 1px solid palette(mid); }"
                                        "QProgressBar::chunk { background: palette(button-text); }"));
    L0 = MakeLabel(this, 0, 245, QStringLiteral("動作管理レポート"), true);
    LB1 = MakeList<QListWidget>(this, QRect(0, 260, 240, 200));

    GB_2 = MakeGroup(this, QRect(245, 0, 441, 80), QStringLiteral("動作オプション"));
    CB_20 = MakeCheckBox(GB_2, QRect(10, 15, 97, 17), QStringLiteral("タイマー再生"));
    CB_21 = MakeCheckBox(GB_2, QRect(10, 35, 97, 17), QStringLiteral("連続再生"));
    CB_22 = MakeCheckBox(GB_2, QRect(10, 55, 97, 17), QStringLiteral("自動電源断"));
    L2_0 = MakeLabel(GB_2, 110, 17, QStringLiteral("終了までの残り時間"), true);
    L2_Timer = MakeLabel(GB_2, 230, 17, QStringLiteral("------"), false);
    L2_1 = MakeLabel(GB_2, 110, 37, QStringLiteral("指定無しの場合はランダム再生"), false);
    L2_2 = MakeLabel(GB_2, 110, 57, QStringLiteral("タイマー再生時のみ有効(NT系では非サポート)"), false);
    L2_01 = MakeLabel(GB_2, 365, 12, QStringLiteral("タイマー操作"), true);
    SB_20 = MakeButton(GB_2, QRect(365, 30, 70, 20), QStringLiteral("10分増"));
    SB_21 = MakeButton(GB_2, QRect(365, 50, 70, 20), QStringLiteral("10分減"));
    SB_TaskTray = MakeButton(this, QRect(690, 33, 100, 20), QStringLiteral("タスクトレイ"));
    SB_Exit = MakeButton(this, QRect(690, 53, 100, 20), QStringLiteral("終了"));
    Image = new QLabel(this);
    Image->setGeometry(759, 0, 32, 32);
    Image->setPixmap(ZentuIcon());
    L_S0 = MakeLabel(this, 245, 85, QStringLiteral("サーチしたファイル"), true);
    L_S1 = MakeLabel(this, 360, 85, QStringLiteral("ファイル数"), true);
    L_S2 = MakeLabel(this, 420, 85, QStringLiteral("ファイル数"), false);
    MPList = MakeList<TPlayList>(this, QRect(245, 100, 545, 360));
    MPList->setTextElideMode(Qt::ElideMiddle);  // the file name at the end stays in view
    GB_1 = MakeGroup(this, QRect(0, 465, 791, 30), QStringLiteral("再生中のファイル"));
    L3 = MakeFitLabel(GB_1, 5, 13, 780, QStringLiteral("L3"), TFitLabel::TFit::ElideMiddle);

    // Check boxes run their handler on every change of state, from a click or from code.
    connect(CB_20, &QCheckBox::toggled, this, [this] { Guarded([this] { CB_20Click(); }); });
    connect(CB_21, &QCheckBox::toggled, this, [this] { Guarded([this] { CB_21Click(); }); });
    connect(CB_22, &QCheckBox::toggled, this, [this] { Guarded([this] { CB_22Click(); }); });
    connect(SB_20, &QPushButton::clicked, this, [this] { Guarded([this] { SB_20Click(); }); });
    connect(SB_21, &QPushButton::clicked, this, [this] { Guarded([this] { SB_21Click(); }); });
    connect(SB_TaskTray, &QPushButton::clicked, this, [this] { Guarded([this] { PUML_MainWindowClick(); }); });
    connect(SB_Exit, &QPushButton::clicked, this, [this] { Guarded([this] { PUML_ExitClick(); }); });
    connect(MPList, &QListView::doubleClicked, this, [this] { Guarded([this] { MPListDblClick(); }); });
}

void TF::BuildMenus() {
    PUML = new QMenu(this);
    PUML->setFont(WindowFont());
    PUML_Zentu = PUML->addAction(kTitle);
    QFont bold = WindowFont(true);
    PUML_Zentu->setFont(bold);
    PUML->setDefaultAction(PUML_Zentu);
    PUML->addSeparator();  // N4
    PUML_MainWindow = PUML->addAction(kShowWindow);
    PUML->addSeparator();  // N2
    PUML_Timer = PUML->addAction(QStringLiteral("タイマー再生"));
    PUML_Timer->setCheckable(true);
    PUML_ContinuePlay = PUML->addAction(QStringLiteral("連続再生"));
    PUML_ContinuePlay->setCheckable(true);
    PUML_PowerOff = PUML->addAction(QStringLiteral("自動電源断"));
    PUML_PowerOff->setCheckable(true);
    PUML->addSeparator();
    PUML_Pause = PUML->addAction(QStringLiteral("一時停止"));
    PUML_Pause->setCheckable(true);
    PUML_Next = PUML->addAction(QStringLiteral("次の曲"));
    PUML_Previous = PUML->addAction(QStringLiteral("前の曲"));
    PUML->addSeparator();  // N3
    PUML_Exit = PUML->addAction(QStringLiteral("終了"));
    UpdatePlayItems();

    PUMR = new QMenu(this);
    PUMR->setFont(WindowFont());
    PUMR_FileName = PUMR->addAction(QStringLiteral("ファイル名"));
    PUMR->addSeparator();  // N1
    PUMR_Title = PUMR->addAction(QStringLiteral("タイトル"));
    PUMR_Artist = PUMR->addAction(QStringLiteral("アーティスト"));
    PUMR_Album = PUMR->addAction(QStringLiteral("アルバム"));
    PUMR_Year = PUMR->addAction(QStringLiteral("年"));
    PUMR_Comment = PUMR->addAction(QStringLiteral("コメント"));

    // A checkable item has already changed its mark when it reports the click: the new
    // mark is "not the old one", which the check box takes over.
    connect(PUML_MainWindow, &QAction::triggered, this, [this] { Guarded([this] { PUML_MainWindowClick(); }); });
    connect(PUML_Timer, &QAction::triggered, this, [this](bool on) { Guarded([this, on] { CB_20->setChecked(on); }); });
    connect(PUML_ContinuePlay, &QAction::triggered, this,
            [this](bool on) { Guarded([this, on] { CB_21->setChecked(on); }); });
    connect(PUML_PowerOff, &QAction::triggered, this,
            [this](bool on) { Guarded([this, on] { CB_22->setChecked(on); }); });
    connect(PUML_Exit, &QAction::triggered, this, [this] { Guarded([this] { PUML_ExitClick(); }); });
    // The pause item's mark follows the player, not the click.
    connect(PUML_Pause, &QAction::triggered, this, [this] { Guarded([this] { TogglePause(); }); });
    connect(PUML_Next, &QAction::triggered, this, [this] { PlayNext(); });
    connect(PUML_Previous, &QAction::triggered, this, [this] { PlayPrevious(); });

    if (options_.trace) {
        connect(PUML, &QMenu::aboutToShow, this, [this] { Trace("left-menu:shown"); });
        connect(PUMR, &QMenu::aboutToShow, this, [this] { Trace("right-menu:shown"); });
        connect(PUML, &QMenu::triggered, this, [this](QAction* action) {
            Trace("left-menu:" + action->text().toStdString() + (action->isCheckable() ? (action->isChecked() ? " checked=1" : " checked=0") : ""));
        });
        connect(PUML, &QMenu::hovered, this, [this](QAction* action) { Trace("left-menu:hover " + action->text().toStdString()); });
        connect(PUMR, &QMenu::hovered, this, [this](QAction* action) { Trace("right-menu:hover " + action->text().toStdString()); });
        connect(PUMR, &QMenu::triggered, this,
                [this](QAction* action) { Trace("right-menu:" + action->text().toStdString()); });
    }
}

bool TF::TrayAvailable() const { return TTray->Available(); }

void TF::TrayChanged(bool available) {
    Trace(available ? "tray:available" : "tray:gone");
    // Without a notification area a hidden window could not be brought back.
    if (!available && PUML_MainWindow->text() == kShowWindow) PUML_MainWindowClick();
}

void TF::Trace(const std::string& line) {
    if (options_.trace) *options_.trace << line << std::endl;
}

void TF::ShowError(std::exception_ptr error) {
    const QString text = QString::fromStdString(ExceptionText(error));
    Trace("error " + text.toStdString());
    options_.showError(text);
}

void TF::ShowPlaybackError(std::exception_ptr error) {
    playbackFailed_ = true;
    emit PlayStateChanged();
    const auto closed = qScopeGuard([this] {
        playbackFailed_ = false;
        emit PlayStateChanged();
    });
    ShowError(error);
}

void TF::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        ShowError(std::current_exception());
    }
}

void TF::Terminate() {
    terminated_ = true;
    Trace("exit");
    options_.terminate();
}

std::string TF::ListPath(int line) const { return MPList->Path(line); }

void TF::AddToList(const std::string& path) { MPList->Add(path); }

void TF::FormCreate() { Guarded([this] { StartUp(); }); }

void TF::StartUp() {
    stopRequested_ = false;
    powerOffEnabled_ = false;
    continuousPlay_ = false;
    remainingMinutes_ = app::kTimerOff;
    searchFolders_ = {};

    const app::TCommandLine line = app::ParseCommandLine(options_.args);
    if (line.timer) {
        PUML_Timer->setChecked(true);
        CB_20->setChecked(true);  // runs CB_20Click: 60 minutes, the timer on
        remainingMinutes_ = line.minutes;
        ShowRemainingMinutes();
    }
    if (line.continuous) {
        continuousPlay_ = true;
        PUML_ContinuePlay->setChecked(true);
        MPList->setCurrentRow(-1);
        CB_21->setChecked(true);
    }
    MP->SetReplayGain(mp3::ReplayGainModeFromEnvironment(continuousPlay_));
    if (line.powerOff) {
        powerOffEnabled_ = true;
        PUML_PowerOff->setChecked(true);
        CB_22->setChecked(true);
    }
    searchFolders_ = line.folders;
    if (line.foldersIgnored > 0) Trace("folders-ignored " + std::to_string(line.foldersIgnored));
    if (line.badNumber) {
        // The start ends here: the window stays in the tray with nothing to play.
        Trace("bad-number " + *line.badNumber);
        options_.showError(QString::fromStdString(app::NotANumberMessage(*line.badNumber)));
        return;
    }
    if (remainingMinutes_ > 0 && !MMT.Enabled()) {
        ++timerGeneration_;
        MMT.SetEnabled(true);
    }
    SFile.OneFileSystem = false;
    if (line.folderCount == 0) {
        // The whole file system that holds the program, without crossing into others.
        searchFolders_[0] = app::MountPointOf(options_.executablePath.empty() ? std::string("/") : options_.executablePath);
        SFile.OneFileSystem = true;
    }
    if (options_.search) FileSearch();
    Trace("found " + std::to_string(MPList->count()));
    if (line.randomStart && MPList->count() > 0) MPList->setCurrentRow(options_.random(MPList->count()));
    if (MPList->count() == 0) {
        stopRequested_ = true;
        powerOffEnabled_ = false;
        Terminate();
        return;
    }
    MPControl(TMPCommand::Successful);
}

void TF::FileSearch() {
    MPList->clear();
    SFile.SearchName = "*.mp3";
    SFile.Recursive = true;
    SFile.EntryData = false;  // only the names go into the list
    {
        // What all folders yield is sorted once at the end, not line by line.
        const TPlayList::TBatch batch(*MPList);
        for (const std::string& folder : searchFolders_) {
            if (folder.empty()) continue;
            SFile.Directory = folder;
            SFile.Execute();
        }
    }
    // Nothing is drawn before the search ends: the count is shown once.
    SetText(L_S2, QString::number(MPList->count()));
}

void TF::SFileFind(const std::string& name) { AddToList(name); }

bool TF::TryStart(int line) {
    MPList->setCurrentRow(line);  // each line tried is selected, whether it plays or not
    const std::string path = ListPath(line);
    if (!options_.isValidFile(path)) {
        Trace("unreadable " + path);
        return false;
    }
    try {
        MP->SetFileName(path);
    } catch (const Exception& error) {
        // The file opened but the sound output did not: no other file would fare better, so
        // the error goes to the error box and the choice ends with nothing playing.
        if (MP->IsOpen()) throw;
        // Read as MPEG audio but refused by the player: passed over like an unreadable one.
        Trace("open-failed " + path + ": " + error.what());
        return false;
    }
    Trace("play " + path);
    history_.Played(path);
    return true;
}

void TF::MPControl(TMPCommand command) {
    bool assigned = false;
    if (stopRequested_ && powerOffEnabled_) {
        ++powerOffRequests_;
        Trace("poweroff");
        options_.powerControl->PowerOff();
    }
    if (stopRequested_ && !powerOffEnabled_) Terminate();
    if (command == TMPCommand::Successful && !stopRequested_) {
        // The line chosen while the last file's end still played, which may play already.
        const std::optional<int> queued = std::exchange(queuedLine_, std::nullopt);
        assigned = (queued && *queued < MPList->count() && TryStart(*queued)) || StartChosen(false);
    }
    if (command == TMPCommand::Change && !stopRequested_) {
        const int line = MPList->currentRow();
        if (line >= 0) assigned = TryStart(line);
    }
    if (assigned) RefreshDisplay();
}

void TF::QueryNext(std::string& next) {
    queuedLine_.reset();
    if (stopRequested_ || MPList->count() == 0) return;
    // Chosen by the same rules as at the end; whether it can be read is found when the player
    // opens it (and, should it fail, the end chooses again as always).
    const app::TChoice choice = Choose([](int) { return true; });
    if (choice.chosen < 0) return;
    queuedLine_ = choice.chosen;
    next = ListPath(choice.chosen);
}

app::TChoice TF::Choose(const std::function<bool(int)>& usable, bool backwards) const {
    const int count = MPList->count();
    return continuousPlay_ ? app::ChooseInOrder(count, MPList->currentRow(), usable, backwards)
                           : app::ChooseAtRandom(count, options_.random, usable);
}

bool TF::StartChosen(bool backwards) {
    const app::TChoice choice = Choose([this](int line) { return TryStart(line); }, backwards);
    if (choice.selected >= 0) MPList->setCurrentRow(choice.selected);
    if (choice.chosen >= 0) return true;
    // Not one line can be read: end as when nothing was found.
    Trace("nothing-readable");
    stopRequested_ = true;
    powerOffEnabled_ = false;
    Terminate();
    return false;
}

// The texts come from the player's description of the file, already made UTF-8.
void TF::RefreshDisplay() {
    const TTrackInfo& track = MP->Track();
    ++trackNumber_;
    const QString title = QString::fromStdString(track.title), artist = QString::fromStdString(track.artist),
                  album = QString::fromStdString(track.album), year = QString::fromStdString(track.year),
                  comment = QString::fromStdString(track.comment);
    SetText(L3, Display(track.fileName));
    SetText(L1_0, title);
    SetText(L1_1, artist);
    SetText(L1_2, album);
    SetText(L1_3, year);
    SetText(L1_4, comment);
    const QString name = Display(app::BaseName(track.fileName));
    const QString shortName = name.size() < 4 ? QString() : name.left(name.size() - 4);
    SetText(L4, shortName);
    applicationTitle_ = shortName;
    TTray->SetTipString(shortName);
    TTray->SetTipDetails(title, artist);
    PUMR_FileName->setText(QStringLiteral("ファイル名 : ") + shortName);
    PUMR_Title->setText(QStringLiteral("タイトル : ") + title);
    PUMR_Artist->setText(QStringLiteral("アーティスト : ") + artist);
    PUMR_Album->setText(QStringLiteral("アルバム : ") + album);
    PUMR_Year->setText(QStringLiteral("年 : ") + year);
    PUMR_Comment->setText(QStringLiteral("コメント : ") + comment);
    // The new file's length and start at once, not at the next tick.
    ShowTimes(0);
    UpdatePlayItems();
    emit PlayStateChanged();
}

void TF::ShowTimes(int64_t positionMs) {
    const int64_t length = app::RoundedSeconds(MP->Track().durationMs);
    const int64_t position = app::RoundedSeconds(positionMs);
    SetText(LT_1, QString::fromStdString(app::TimeText(length)));
    SetText(LT_3, QString::fromStdString(app::TimeText(position)));
    if (!static_cast<const TSeekGauge*>(Gauge)->Dragging()) Gauge->setValue(app::GaugePercent(position, length));
}

void TF::MPEndPlay(TMP3EndPlayReason reason) {
    Trace("endplay " + std::to_string(static_cast<int>(reason)));
    switch (reason) {
    case TMP3EndPlayReason::mepEndOfData:
        MPControl(TMPCommand::Successful);
        break;
    case TMP3EndPlayReason::mepStopped: {
        const TAfterStop next = afterStop_.value_or(TAfterStop::Change);
        afterStop_.reset();
        if (stopRequested_)
            MPControl(TMPCommand::Timer);
        else
            RunAfterStop(next);
        break;
    }
    case TMP3EndPlayReason::mepError:
        afterStop_.reset();
        Terminate();
        break;
    }
}

// The report list logs the seconds played, so a paused file adds no lines; its times and
// gauge still follow the position (which a jump may move).
void TF::TimerTimer() {
    if (MP->Status() == TMP3Status::mpsStopped) return;
    if (Playing()) {
        if (LB1->count() > app::kReportLines - 1) delete LB1->takeItem(0);
        const std::string& path = MP->FileName();
        auto* item = new QListWidgetItem(
            QString::fromStdString(app::ReportLine(powerOffEnabled_, remainingMinutes_, "")) + Display(app::BaseName(path)));
        item->setSizeHint(QSize(0, ListLineHeight(LB1->font())));
        LB1->addItem(item);
        LB1->setCurrentRow(LB1->count() - 1);
    }
    ShowTimes(MP->Position());
}

// A double click stops what plays, and the stopped event starts the selected line; with
// nothing playing the line starts at once, so that a line that could not be played never
// leaves the list unable to start another.
void TF::MPListDblClick() { StopThen(TAfterStop::Change); }

void TF::StopThen(TAfterStop next) {
    if (MP->Status() != TMP3Status::mpsStopped) {
        afterStop_ = next;
        MP->Stop();
    } else if (afterStop_) {
        afterStop_ = next;  // our stop's event is still on its way and will do it
    } else {
        RunAfterStop(next);
    }
}

void TF::RunAfterStop(TAfterStop next) {
    if (stopRequested_) return;
    switch (next) {
    case TAfterStop::Change:
        MPControl(TMPCommand::Change);
        break;
    case TAfterStop::Next:
        MPControl(TMPCommand::Successful);
        break;
    case TAfterStop::Previous:
        if (history_.Back([this](const std::string& path) {
                const int line = MPList->Find(path);
                return line >= 0 && TryStart(line);
            }, [this] { return StartChosen(continuousPlay_); }))
            RefreshDisplay();
        break;
    case TAfterStop::Again: {
        const int line = MPList->currentRow();
        if (line >= 0 && TryStart(line))
            RefreshDisplay();
        else
            MPControl(TMPCommand::Successful);
        break;
    }
    case TAfterStop::Nothing:
        break;
    }
}

void TF::PlayNext() {
    Guarded([this] { StopThen(TAfterStop::Next); });
}

void TF::PlayPrevious() {
    Guarded([this] { StopThen(TAfterStop::Previous); });
}

void TF::PlayAgain() {
    Guarded([this] {
        if (Paused())
            SetPaused(false);
        else if (!Playing())
            StopThen(TAfterStop::Again);
    });
}

void TF::StopPlaying() {
    Guarded([this] { StopThen(TAfterStop::Nothing); });
}

void TF::PausePlaying() {
    Guarded([this] { SetPaused(true); });
}

void TF::TogglePause() {
    Guarded([this] { SetPaused(Playing()); });
}

void TF::PlayOrPause() {
    if (Playing())
        PausePlaying();
    else
        PlayAgain();
}

void TF::SetPaused(bool paused) {
    if (paused && Playing()) {
        MP->Pause();
        Trace("pause");
    } else if (!paused && Paused()) {
        MP->Resume();
        Trace("resume");
    }
    UpdatePlayItems();
}

void TF::UpdatePlayItems() {
    const bool underWay = MP && MP->Status() != TMP3Status::mpsStopped;
    PUML_Pause->setEnabled(underWay);
    PUML_Pause->setChecked(MP && Paused());
}

void TF::SeekTo(int64_t ms) {
    Guarded([this, ms] {
        if (MP->Status() == TMP3Status::mpsStopped) return;
        const auto to = static_cast<int32_t>(std::clamp<int64_t>(ms, 0, INT32_MAX));
        MP->SetPosition(to);
        Trace("seek " + std::to_string(to));
        ShowTimes(to);
        emit Seeked(to);
    });
}

void TF::RaiseWindow() {
    Guarded([this] {
        if (PUML_MainWindow->text() == kShowWindow)
            PUML_MainWindowClick();
        else
            ActivateWindow(*this);
    });
}

void TF::showEvent(QShowEvent* event) {
    // Centred on the screen each time it is shown.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        if (area.isValid()) move(area.center() - rect().center());
    }
    QWidget::showEvent(event);
    Trace("window:shown");
}

void TF::closeEvent(QCloseEvent* event) {
    // There is no close box; a close asked by the desktop (Alt+F4) hides the window to the
    // tray, or ends the program where no tray exists to bring it back from.
    event->ignore();
    Guarded([this] {
        if (TrayAvailable())
            PUML_MainWindowClick();
        else
            PUML_ExitClick();
    });
}

void TF::PUML_MainWindowClick() {
    if (PUML_MainWindow->text() == kShowWindow) {
        PUML_MainWindow->setText(kHideWindow);
        show();
        ActivateWindow(*this);
    } else {
        if (!TrayAvailable()) {
            // Hidden without a tray it could never be shown again.
            Trace("hide-refused");
            return;
        }
        PUML_MainWindow->setText(kShowWindow);
        hide();
        Trace("window:hidden");
    }
}

void TF::PUML_ExitClick() {
    stopRequested_ = true;
    powerOffEnabled_ = false;
    MPControl(TMPCommand::Timer);
}

void TF::CB_21Click() {
    continuousPlay_ = CB_21->isChecked();
    PUML_ContinuePlay->setChecked(continuousPlay_);
    MP->SetReplayGain(mp3::ReplayGainModeFromEnvironment(continuousPlay_));
}

// Timer play.

void TF::ShowRemainingMinutes() {
    if (CB_20->isChecked()) {
        SetText(L2_Timer, QString::number(remainingMinutes_) + QStringLiteral(" 分"));
        PUML_Timer->setText(QStringLiteral("タイマー再生 : ") + QString::number(remainingMinutes_) + QStringLiteral(" 分"));
    } else {
        SetText(L2_Timer, QStringLiteral("------"));
        PUML_Timer->setText(QStringLiteral("タイマー再生"));
    }
}

void TF::CB_20Click() {
    if (CB_20->isChecked()) {
        remainingMinutes_ = app::kTimerStartMinutes;
        PUML_Timer->setChecked(true);
        ShowRemainingMinutes();
        if (!MMT.Enabled()) {
            ++timerGeneration_;
            MMT.SetEnabled(true);
        }
        Trace("timer on");
    } else {
        remainingMinutes_ = app::kTimerOff;
        PUML_Timer->setChecked(false);
        ShowRemainingMinutes();
        // Stop first (this waits for a tick being raised), then drop the ticks queued.
        MMT.SetEnabled(false);
        ++timerGeneration_;
        Trace("timer off");
    }
}

void TF::CB_22Click() {
    powerOffEnabled_ = CB_22->isChecked();
    PUML_PowerOff->setChecked(powerOffEnabled_);
}

void TF::SB_20Click() {
    if (!CB_20->isChecked()) return;
    remainingMinutes_ = app::TenMinutesMore(remainingMinutes_);
    ShowRemainingMinutes();
}

void TF::SB_21Click() {
    if (!CB_20->isChecked()) return;
    remainingMinutes_ = app::TenMinutesLess(remainingMinutes_);
    ShowRemainingMinutes();
}

void TF::MMTTimer() {
    // Timer play ends at 0. Where that end did not end the program (a power-off that did not
    // happen), the count stays at 0 instead of running on below it.
    if (stopRequested_ && remainingMinutes_ <= 0) return;
    --remainingMinutes_;
    ShowRemainingMinutes();
    Trace("minute " + std::to_string(remainingMinutes_));
    if (remainingMinutes_ == 0) {
        stopRequested_ = true;
        if (MP->Status() != TMP3Status::mpsStopped)
            MP->Stop();  // the end-of-play event that follows ends the program
        else
            MPControl(TMPCommand::Timer);  // nothing playing: no event would come
    }
}

}  // namespace zentu
