// The desktop's media controls (panel applets, media keys, playerctl) reach Zentu through
// the MPRIS interfaces on the session bus: org.mpris.MediaPlayer2.zentu at
// /org/mpris/MediaPlayer2. It sits on top of the window's play control and reads what plays
// from the player; without a session bus there is nothing to offer and the program runs as
// before.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <string>

#include "player/track_info.h"

namespace zentu {

class TF;
class TMprisPlayer;

// The cover of the track on offer as a file the desktop can read: <runtime>/zentu/cover-N.EXT,
// in a folder of our own (0700). One file at a time: the previous one goes when the track
// changes, the last one (and the folder, when empty) at the end. Without a runtime folder
// nothing is written anywhere.
class TCoverArtFile {
public:
    // `runtimeDir`: $XDG_RUNTIME_DIR; null, empty or relative leaves the cover unoffered.
    explicit TCoverArtFile(const char* runtimeDir);
    ~TCoverArtFile();
    TCoverArtFile(const TCoverArtFile&) = delete;
    TCoverArtFile& operator=(const TCoverArtFile&) = delete;

    // The file:// URI of track `number`'s picture, written at the first call for that
    // track; empty when there is no picture or it could not be written.
    QString Offer(int number, const TPicture& picture);

private:
    void Withdraw();
    bool MakeFolder() const;

    std::string folder_;  // empty: no cover is ever written
    std::string file_;    // the file on offer
    int number_ = -1;
    QString url_;
};

class TMprisService final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.zentu";

    // `runtimeDir` receives the cover files (TCoverArtFile).
    TMprisService(TF& window, QDBusConnection bus, const char* runtimeDir);
    ~TMprisService() override;
    // Whether the name and the object were taken on the bus.
    bool Registered() const { return registered_; }

    TF& Window() const { return window_; }
    QString PlaybackStatus() const;
    QVariantMap Metadata();
    qlonglong Position() const;
    double Volume() const;
    void SetVolume(double volume);
    // µs, relative; before the start: the start; past the end: the next file.
    void Seek(qlonglong offset);
    // µs within the current track; another track's id or a place outside it is ignored.
    void SetPosition(const QDBusObjectPath& trackId, qlonglong position);

private:
    QString TrackId() const;
    void AnnounceChanges();
    // Clients that send a call as a signal (dbus-send without --print-reply or --type)
    // get what a method call gets.
    void AcceptCallsAsSignals();
    // Whether `member` is a method of ours (or Properties.Set) on `interface`.
    bool Callable(const QString& interface, const QString& member) const;

private slots:
    void CallSentAsSignal(const QDBusMessage& signal);

private:
    TF& window_;
    QDBusConnection bus_;
    TMprisPlayer* player_;
    bool registered_ = false;
    QString sentStatus_;
    int sentTrack_ = 0;
    int32_t sentLength_ = 0;  // the file's length, exact once its frames are counted
    int sentVolume_ = 0;
    TCoverArtFile cover_;
};

// org.mpris.MediaPlayer2: the program itself.
class TMprisRoot final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ True)
    Q_PROPERTY(bool CanRaise READ True)
    Q_PROPERTY(bool HasTrackList READ False)
    Q_PROPERTY(QString Identity READ Identity)
    Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ None)
    Q_PROPERTY(QStringList SupportedMimeTypes READ None)

public:
    explicit TMprisRoot(TMprisService& service) : QDBusAbstractAdaptor(&service), service_(service) {}
    bool True() const { return true; }
    bool False() const { return false; }
    QString Identity() const { return QStringLiteral("Zentu"); }
    QString DesktopEntry() const { return QStringLiteral("zentu"); }
    QStringList None() const { return {}; }

public slots:
    void Raise();
    void Quit();

private:
    TMprisService& service_;
};

// org.mpris.MediaPlayer2.Player: what plays, and the play control.
class TMprisPlayer final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(double Rate READ One)
    Q_PROPERTY(double MinimumRate READ One)
    Q_PROPERTY(double MaximumRate READ One)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(double Volume READ Volume WRITE SetVolume)
    Q_PROPERTY(qlonglong Position READ Position)
    Q_PROPERTY(bool CanGoNext READ True)
    Q_PROPERTY(bool CanGoPrevious READ True)
    Q_PROPERTY(bool CanPlay READ True)
    Q_PROPERTY(bool CanPause READ True)
    Q_PROPERTY(bool CanSeek READ True)
    Q_PROPERTY(bool CanControl READ True)

public:
    explicit TMprisPlayer(TMprisService& service) : QDBusAbstractAdaptor(&service), service_(service) {}
    QString PlaybackStatus() const { return service_.PlaybackStatus(); }
    QVariantMap Metadata() const { return service_.Metadata(); }
    double Volume() const { return service_.Volume(); }
    void SetVolume(double volume) { service_.SetVolume(volume); }
    qlonglong Position() const { return service_.Position(); }
    double One() const { return 1.0; }
    bool True() const { return true; }

public slots:
    void Next();
    void Previous();
    void Pause();
    void PlayPause();
    void Stop();
    void Play();
    void Seek(qlonglong offset) { service_.Seek(offset); }
    void SetPosition(const QDBusObjectPath& trackId, qlonglong position) { service_.SetPosition(trackId, position); }
    void OpenUri(const QString&) {}

signals:
    void Seeked(qlonglong position);

private:
    TMprisService& service_;
};

}  // namespace zentu
