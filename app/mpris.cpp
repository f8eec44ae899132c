#include "app/mpris.h"

#include <QDBusMessage>
#include <QTimer>

#include "app/main_window.h"

namespace zentu {

namespace {

const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

// A file path is bytes: percent-encoded as they are, whatever their encoding.
QString FileUrl(const std::string& path) {
    return QStringLiteral("file://") +
           QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding("/-._~!$&'()*+,;=:@"));
}

}  // namespace

TMprisService::TMprisService(TF& window, QDBusConnection bus) : window_(window), bus_(bus) {
    new TMprisRoot(*this);
    new TMprisPlayer(*this);
    if (!bus_.isConnected()) return;
    if (!bus_.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors)) return;
    if (!bus_.registerService(QString::fromLatin1(kServiceName))) {
        bus_.unregisterObject(kObjectPath);
        return;
    }
    registered_ = true;
    sentStatus_ = PlaybackStatus();
    sentTrack_ = window_.Track().number;
    // Queued: a file that ends (or is left for the next) has its stopped event already
    // waiting, and the file after it is started by then, so no passing "Stopped" is sent.
    connect(&window_, &TF::PlayStateChanged, this, &TMprisService::AnnounceChanges, Qt::QueuedConnection);
}

TMprisService::~TMprisService() {
    if (!registered_) return;
    bus_.unregisterService(QString::fromLatin1(kServiceName));
    bus_.unregisterObject(kObjectPath);
}

QString TMprisService::PlaybackStatus() const {
    return window_.Playing() ? QStringLiteral("Playing") : QStringLiteral("Stopped");
}

QVariantMap TMprisService::Metadata() const {
    const TF::TTrack& track = window_.Track();
    QVariantMap metadata;
    if (track.number == 0) {
        metadata[QStringLiteral("mpris:trackid")] =
            QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack")));
        return metadata;
    }
    // Each start is a track of its own: the same file played twice is two tracks.
    metadata[QStringLiteral("mpris:trackid")] =
        QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/zentu/track/%1").arg(track.number)));
    metadata[QStringLiteral("mpris:length")] = qlonglong{track.durationMs} * 1000;
    // The texts as the window shows them.
    metadata[QStringLiteral("xesam:title")] = window_.L1_0->text();
    const QString artist = window_.L1_1->text();
    metadata[QStringLiteral("xesam:artist")] = artist.isEmpty() ? QStringList() : QStringList{artist};
    metadata[QStringLiteral("xesam:album")] = window_.L1_2->text();
    metadata[QStringLiteral("xesam:url")] = FileUrl(track.path);
    return metadata;
}

void TMprisService::AnnounceChanges() {
    QVariantMap changed;
    const QString status = PlaybackStatus();
    if (status != sentStatus_) changed[QStringLiteral("PlaybackStatus")] = sentStatus_ = status;
    if (window_.Track().number != sentTrack_) {
        sentTrack_ = window_.Track().number;
        changed[QStringLiteral("Metadata")] = Metadata();
    }
    if (changed.isEmpty()) return;
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    bus_.send(signal);
}

void TMprisRoot::Raise() { service_.Window().RaiseWindow(); }

// Ends as the exit menu item does (never with power-off), after the reply has gone out.
void TMprisRoot::Quit() {
    QTimer::singleShot(0, &service_.Window(), [window = &service_.Window()] { window->PUML_Exit->trigger(); });
}

qlonglong TMprisPlayer::Position() const { return qlonglong{service_.Window().MP->Position()} * 1000; }

void TMprisPlayer::Next() { service_.Window().PlayNext(); }
void TMprisPlayer::Previous() { service_.Window().PlayPrevious(); }
void TMprisPlayer::Pause() { service_.Window().PlayOrStop(); }
void TMprisPlayer::PlayPause() { service_.Window().PlayOrStop(); }
void TMprisPlayer::Stop() { service_.Window().StopPlaying(); }
void TMprisPlayer::Play() { service_.Window().PlayAgain(); }

}  // namespace zentu
