#include "app/mpris.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusMessage>
#include <QMetaMethod>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "app/main_window.h"
#include "platform/file_descriptor.h"

namespace zentu {

namespace {

const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kRootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kNoTrack = QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");

// A file path is bytes: percent-encoded as they are, whatever their encoding.
QString FileUrl(const std::string& path) {
    return QStringLiteral("file://") +
           QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding("/-._~!$&'()*+,;=:@"));
}

struct TImageKind {
    std::string_view mime, extension;
};
constexpr std::array<TImageKind, 6> kImageKinds{{{"image/jpeg", ".jpg"},
                                                  {"image/jpg", ".jpg"},
                                                  {"image/png", ".png"},
                                                  {"image/gif", ".gif"},
                                                  {"image/webp", ".webp"},
                                                  {"image/bmp", ".bmp"}}};

std::string_view Extension(std::string_view mime) {
    for (const TImageKind& kind : kImageKinds)
        if (kind.mime == mime) return kind.extension;
    return {};
}

// A directory of ours, not a link, closed to everyone else.
bool OwnPrivateFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool WriteAll(int fd, const std::vector<uint8_t>& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

// ---- The cover file ---------------------------------------------------------------------

TCoverArtFile::TCoverArtFile(const char* runtimeDir) {
    if (runtimeDir == nullptr || runtimeDir[0] != '/') return;
    folder_ = std::string(runtimeDir) + "/zentu";
    // Covers left by a run that could not clean up (one copy runs per user at a time).
    if (!OwnPrivateFolder(folder_)) return;
    if (DIR* dir = ::opendir(folder_.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::string_view(entry->d_name).starts_with("cover-"))
                ::unlink((folder_ + "/" + entry->d_name).c_str());
        ::closedir(dir);
    }
    ::rmdir(folder_.c_str());
}

TCoverArtFile::~TCoverArtFile() {
    Withdraw();
    // Fails, as it should, when something else is in there.
    if (!folder_.empty() && OwnPrivateFolder(folder_)) ::rmdir(folder_.c_str());
}

bool TCoverArtFile::MakeFolder() const {
    if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return OwnPrivateFolder(folder_);
}

void TCoverArtFile::Withdraw() {
    if (!file_.empty()) ::unlink(file_.c_str());
    file_.clear();
    url_.clear();
    number_ = -1;
}

QString TCoverArtFile::Offer(int number, const TPicture& picture) {
    if (number == number_) return url_;
    Withdraw();
    number_ = number;
    if (folder_.empty() || picture.data.empty() || !MakeFolder()) return url_;
    // A new name per track: clients keep images by their URI.
    const std::string path = folder_ + "/cover-" + std::to_string(number) + std::string(Extension(picture.mime));
    ::unlink(path.c_str());
    TFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.Get() < 0) return url_;
    file_ = path;
    const bool written = WriteAll(fd.Get(), picture.data);
    if (!fd.Close() || !written) {
        Withdraw();
        number_ = number;
        return url_;
    }
    url_ = FileUrl(path);
    return url_;
}

// ---- The service ------------------------------------------------------------------------

TMprisService::TMprisService(TF& window, QDBusConnection bus, const char* runtimeDir)
    : window_(window), bus_(bus), cover_(runtimeDir) {
    new TMprisRoot(*this);
    player_ = new TMprisPlayer(*this);
    if (!bus_.isConnected()) return;
    if (!bus_.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors)) return;
    if (!bus_.registerService(QString::fromLatin1(kServiceName))) {
        bus_.unregisterObject(kObjectPath);
        return;
    }
    registered_ = true;
    sentStatus_ = PlaybackStatus();
    sentTrack_ = window_.TrackNumber();
    sentLength_ = window_.MP->Track().durationMs;
    sentVolume_ = window_.MP->Volume();
    AcceptCallsAsSignals();
    // Queued: a file that ends (or is left for the next) has its stopped event already
    // waiting, and the file after it is started by then, so no passing "Stopped" is sent.
    connect(&window_, &TF::PlayStateChanged, this, &TMprisService::AnnounceChanges, Qt::QueuedConnection);
    connect(&window_, &TF::Seeked, player_, [player = player_](int64_t ms) { emit player->Seeked(ms * 1000); });
}

TMprisService::~TMprisService() {
    if (!registered_) return;
    bus_.unregisterService(QString::fromLatin1(kServiceName));
    bus_.unregisterObject(kObjectPath);
}

// dbus-send sends a signal unless told --type=method_call (which --print-reply implies): a
// key binding written that way addresses us with a signal named as the method. QtDBus hands
// method calls to the adaptors, with or without a reply wanted, but signals only to slots
// connected to them: such a signal is sent back to us as the call it names, so that every
// method and Properties.Set act alike in both forms.
void TMprisService::AcceptCallsAsSignals() {
    for (const QString& interface : {kRootInterface, kPlayerInterface, kPropertiesInterface})
        bus_.connect(QString(), kObjectPath, interface, QString(), this, SLOT(CallSentAsSignal(QDBusMessage)));
}

void TMprisService::CallSentAsSignal(const QDBusMessage& signal) {
    // Our own announcements (PropertiesChanged, Seeked) and other players' arrive here too.
    if (!Callable(signal.interface(), signal.member())) return;
    QDBusMessage call = QDBusMessage::createMethodCall(bus_.baseService(), kObjectPath, signal.interface(), signal.member());
    call.setArguments(signal.arguments());
    bus_.send(call);  // a call sent this way asks for no reply
}

bool TMprisService::Callable(const QString& interface, const QString& member) const {
    if (interface == kPropertiesInterface) return member == QLatin1String("Set");
    const QMetaObject& adaptor = interface == kRootInterface ? TMprisRoot::staticMetaObject : TMprisPlayer::staticMetaObject;
    for (int i = adaptor.methodOffset(); i < adaptor.methodCount(); ++i) {
        const QMetaMethod method = adaptor.method(i);
        if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Public &&
            QLatin1String(method.name()) == member)
            return true;
    }
    return false;
}

QString TMprisService::PlaybackStatus() const {
    if (window_.PlaybackFailed()) return QStringLiteral("Stopped");
    switch (window_.MP->Status()) {
    case TMP3Status::mpsPlaying:
        return QStringLiteral("Playing");
    case TMP3Status::mpsPaused:
        return QStringLiteral("Paused");
    case TMP3Status::mpsStopped:
        break;
    }
    return QStringLiteral("Stopped");
}

// Each start is a track of its own: the same file played twice is two tracks.
QString TMprisService::TrackId() const {
    if (window_.TrackNumber() == 0 || !window_.MP->IsOpen()) return kNoTrack;
    return QStringLiteral("/org/zentu/track/%1").arg(window_.TrackNumber());
}

QVariantMap TMprisService::Metadata() {
    QVariantMap metadata;
    const QString id = TrackId();
    metadata[QStringLiteral("mpris:trackid")] = QVariant::fromValue(QDBusObjectPath(id));
    if (id == kNoTrack) return metadata;
    const TTrackInfo& track = window_.MP->Track();
    metadata[QStringLiteral("mpris:length")] = qlonglong{track.durationMs} * 1000;
    metadata[QStringLiteral("xesam:title")] = QString::fromStdString(track.title);
    if (!track.artist.empty()) metadata[QStringLiteral("xesam:artist")] = QStringList{QString::fromStdString(track.artist)};
    if (!track.album.empty()) metadata[QStringLiteral("xesam:album")] = QString::fromStdString(track.album);
    metadata[QStringLiteral("xesam:url")] = FileUrl(track.fileName);
    const QString art = cover_.Offer(window_.TrackNumber(), track.picture);
    if (!art.isEmpty()) metadata[QStringLiteral("mpris:artUrl")] = art;
    return metadata;
}

qlonglong TMprisService::Position() const { return qlonglong{window_.MP->Position()} * 1000; }

double TMprisService::Volume() const { return window_.MP->Volume() / 100.0; }

void TMprisService::SetVolume(double volume) {
    if (std::isnan(volume)) return;
    window_.MP->SetVolume(static_cast<int32_t>(std::lround(std::clamp(volume, 0.0, 1.0) * 100)));
    AnnounceChanges();
}

void TMprisService::Seek(qlonglong offset) {
    if (window_.MP->Status() == TMP3Status::mpsStopped) return;
    const int64_t length = int64_t{window_.MP->Track().durationMs} * 1000;
    const int64_t at = Position();
    // Saturating: an offset near the 64-bit limits must not wrap around.
    const int64_t target = offset > 0 ? (at > INT64_MAX - offset ? INT64_MAX : at + offset) : std::max<int64_t>(0, at + offset);
    if (length > 0 && target >= length) {
        window_.PlayNext();
        return;
    }
    window_.SeekTo(target / 1000);
}

void TMprisService::SetPosition(const QDBusObjectPath& trackId, qlonglong position) {
    const QString id = TrackId();
    if (id == kNoTrack || trackId.path() != id) return;
    if (position < 0 || position > int64_t{window_.MP->Track().durationMs} * 1000) return;
    window_.SeekTo(position / 1000);
}

void TMprisService::AnnounceChanges() {
    QVariantMap changed;
    const QString status = PlaybackStatus();
    if (status != sentStatus_) changed[QStringLiteral("PlaybackStatus")] = sentStatus_ = status;
    if (window_.TrackNumber() != sentTrack_ || window_.MP->Track().durationMs != sentLength_) {
        sentTrack_ = window_.TrackNumber();
        sentLength_ = window_.MP->Track().durationMs;
        changed[QStringLiteral("Metadata")] = Metadata();
    }
    if (window_.MP->Volume() != sentVolume_) {
        sentVolume_ = window_.MP->Volume();
        changed[QStringLiteral("Volume")] = Volume();
    }
    if (changed.isEmpty()) return;
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, kPropertiesInterface, QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    bus_.send(signal);
}

void TMprisRoot::Raise() { service_.Window().RaiseWindow(); }

// Ends as the exit menu item does (never with power-off), after the reply has gone out.
void TMprisRoot::Quit() {
    QTimer::singleShot(0, &service_.Window(), [window = &service_.Window()] { window->PUML_Exit->trigger(); });
}

void TMprisPlayer::Next() { service_.Window().PlayNext(); }
void TMprisPlayer::Previous() { service_.Window().PlayPrevious(); }
void TMprisPlayer::Pause() { service_.Window().PausePlaying(); }
void TMprisPlayer::PlayPause() { service_.Window().PlayOrPause(); }
void TMprisPlayer::Stop() { service_.Window().StopPlaying(); }
void TMprisPlayer::Play() { service_.Window().PlayAgain(); }

}  // namespace zentu
