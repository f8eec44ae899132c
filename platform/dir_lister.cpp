#include "platform/dir_lister.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

namespace zentu {

namespace {

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<TUnixTime> ToUnixTime(const struct statx_timestamp& t) {
    return TUnixTime{t.tv_sec, static_cast<int32_t>(t.tv_nsec)};
}

// Fills `data` (all but the name) from the entry `name` relative to folder descriptor `dirFd`.
// `followAll`: describe what a link points to, folders included (for a path given by the user).
bool Describe(int dirFd, const char* name, TFindData& data, bool followAll = false) {
    constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_INO | STATX_ATIME | STATX_MTIME | STATX_BTIME;
    struct statx info {};
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kWanted, &info) != 0) return false;
    data.isSymlink = S_ISLNK(info.stx_mode);
    if (data.isSymlink && followAll) {
        struct statx target {};
        if (statx(dirFd, name, AT_NO_AUTOMOUNT, kWanted, &target) == 0) info = target;
    } else if (data.isSymlink) {
        // A link to a file stands for the file; a link to a folder, or a dangling one, is
        // described as itself so that nobody walks through it.
        struct statx target {};
        if (statx(dirFd, name, AT_NO_AUTOMOUNT, kWanted, &target) == 0 && !S_ISDIR(target.stx_mode)) info = target;
    }
    const mode_t mode = info.stx_mode;
    data.isDirectory = S_ISDIR(mode);
    data.size = S_ISREG(mode) ? info.stx_size : 0;
    data.isSystem = S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
    data.isArchive = S_ISREG(mode);
    data.isReadOnly = (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
                      (!S_ISLNK(mode) && faccessat(dirFd, name, W_OK, AT_EACCESS) != 0);
    data.creationTime.reset();
    data.lastWriteTime.reset();
    data.lastAccessTime.reset();
    if (info.stx_mask & STATX_BTIME) data.creationTime = ToUnixTime(info.stx_btime);
    if (info.stx_mask & STATX_MTIME) data.lastWriteTime = ToUnixTime(info.stx_mtime);
    if (info.stx_mask & STATX_ATIME) data.lastAccessTime = ToUnixTime(info.stx_atime);
    data.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    data.inode = info.stx_ino;
    return true;
}

}  // namespace

bool MatchWildcard(const std::string& pattern, const std::string& name) {
    if (pattern == "*" || pattern == "*.*") return true;
    // Greedy match with one back-track point: linear in practice, never recursive.
    size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string ExpandPath(const std::string& path) {
    if (path.empty()) return {};
    std::string full = path;
    if (full[0] != '/') {
        std::vector<char> buffer(4096);
        while (getcwd(buffer.data(), buffer.size()) == nullptr) {
            if (errno != ERANGE) return {};
            buffer.resize(buffer.size() * 2);
        }
        full = std::string(buffer.data()) + "/" + full;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos) end = full.size();
        std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    std::string out;
    for (const auto& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && lstat(path.c_str(), &info) == 0;
}

bool FindEntry(const std::string& path, TFindData& data) {
    if (path.empty()) return false;
    data = TFindData{};
    if (!Describe(AT_FDCWD, path.c_str(), data, true)) return false;
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.find_last_of('/');
    data.name = (trimmed == "/" || slash == std::string::npos) ? trimmed : trimmed.substr(slash + 1);
    data.isHidden = data.name[0] == '.';
    return true;
}

// The listing is read straight from the kernel a block at a time: opendir's own set-up costs
// three more calls per folder, which a walk over ten thousand folders feels.
struct TDirLister::Impl {
    int fd = -1;
    std::string pattern;
    TListDetail detail = TListDetail::Full;
    size_t size = 0;  // bytes of `block` filled
    size_t at = 0;    // the next entry in `block`
    alignas(dirent64) char block[32768];
};

TDirLister::TDirLister(const std::string& folder, std::string pattern, TListDetail detail)
    : impl_(std::make_unique_for_overwrite<Impl>()) {  // the block is not cleared first
    impl_->pattern = std::move(pattern);
    impl_->detail = detail;
    if (folder.empty()) return;
    impl_->fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

TDirLister::~TDirLister() {
    if (impl_->fd >= 0) close(impl_->fd);
}

bool TDirLister::IsOpen() const { return impl_->fd >= 0; }

bool TDirLister::Next(TFindData& data) {
    Impl& d = *impl_;
    while (d.fd >= 0) {
        if (d.at >= d.size) {
            const ssize_t got = getdents64(d.fd, d.block, sizeof d.block);
            if (got <= 0) break;  // the end, or a folder that cannot be read further
            d.size = static_cast<size_t>(got);
            d.at = 0;
        }
        const auto* entry = reinterpret_cast<const dirent64*>(d.block + d.at);
        d.at += entry->d_reclen;
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (!MatchWildcard(d.pattern, name)) continue;
        data = TFindData{};
        // Most file systems tell the kind in the listing: a walk then looks up its folders
        // alone (a link is no folder here either, as Describe says).
        const bool lookUp = d.detail == TListDetail::Full ||
                            (d.detail == TListDetail::Folders && (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN));
        // An entry removed since the listing saw it is passed over.
        if (lookUp && !Describe(d.fd, entry->d_name, data)) continue;
        data.name = std::move(name);
        data.isHidden = data.name[0] == '.';
        return true;
    }
    return false;
}

std::optional<TDosDateTime> UnixTimeToLocalDosDateTime(const TUnixTime& moment) {
    time_t seconds = static_cast<time_t>(moment.seconds);
    if (static_cast<int64_t>(seconds) != moment.seconds) return std::nullopt;
    struct tm local {};
    if (localtime_r(&seconds, &local) == nullptr) return std::nullopt;
    int year = local.tm_year + 1900;
    if (year < 1980 || year > 2107) return std::nullopt;
    TDosDateTime packed;
    packed.date = static_cast<uint16_t>((year - 1980) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    // A leap second (60) packs as 58, the last two-second step of the minute.
    int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    packed.time = static_cast<uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | second / 2);
    return packed;
}

std::optional<double> DosDateTimeToDateTime(const TDosDateTime& packed) {
    int year = 1980 + (packed.date >> 9);
    int month = (packed.date >> 5) & 15;
    int day = packed.date & 31;
    int hour = packed.time >> 11;
    int minute = (packed.time >> 5) & 63;
    int second = (packed.time & 31) * 2;
    static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1) return std::nullopt;
    if (day > kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    // Days from 1970-01-01 by the civil calendar, then moved to the 1899-12-30 origin.
    int y = month <= 2 ? year - 1 : year;
    int era = y / 400;
    int yearOfEra = y - era * 400;
    int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    long days = static_cast<long>(era) * 146097 + dayOfEra - 719468;
    constexpr long kDays1899To1970 = 25569;
    return static_cast<double>(days + kDays1899To1970) + (hour * 3600 + minute * 60 + second) / 86400.0;
}

}  // namespace zentu
