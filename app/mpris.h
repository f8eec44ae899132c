// The desktop's media controls (panel applets, media keys, playerctl) reach Zentu through
// the MPRIS interfaces on the session bus: org.mpris.MediaPlayer2.zentu at
// /org/mpris/MediaPlayer2. It sits on top of the window's play control; without a session
// bus there is nothing to offer and the program runs as before.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace zentu {

class TF;

class TMprisService final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.zentu";

    TMprisService(TF& window, QDBusConnection bus);
    ~TMprisService() override;
    // Whether the name and the object were taken on the bus.
    bool Registered() const { return registered_; }

    TF& Window() const { return window_; }
    QString PlaybackStatus() const;
    QVariantMap Metadata() const;

private:
    void AnnounceChanges();

    TF& window_;
    QDBusConnection bus_;
    bool registered_ = false;
    QString sentStatus_;
    int sentTrack_ = 0;
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

// org.mpris.MediaPlayer2.Player: what plays, and the play control. There is no pause and no
// seeking; the position is read-only.
class TMprisPlayer final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(double Rate READ One)
    Q_PROPERTY(double MinimumRate READ One)
    Q_PROPERTY(double MaximumRate READ One)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(qlonglong Position READ Position)
    Q_PROPERTY(bool CanGoNext READ True)
    Q_PROPERTY(bool CanGoPrevious READ True)
    Q_PROPERTY(bool CanPlay READ True)
    Q_PROPERTY(bool CanPause READ True)
    Q_PROPERTY(bool CanSeek READ False)
    Q_PROPERTY(bool CanControl READ True)

public:
    explicit TMprisPlayer(TMprisService& service) : QDBusAbstractAdaptor(&service), service_(service) {}
    QString PlaybackStatus() const { return service_.PlaybackStatus(); }
    QVariantMap Metadata() const { return service_.Metadata(); }
    qlonglong Position() const;
    double One() const { return 1.0; }
    bool True() const { return true; }
    bool False() const { return false; }

public slots:
    void Next();
    void Previous();
    void Pause();
    void PlayPause();
    void Stop();
    void Play();
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath&, qlonglong) {}
    void OpenUri(const QString&) {}

signals:
    void Seeked(qlonglong position);

private:
    TMprisService& service_;
};

}  // namespace zentu
