// Directory listing with the rules of the system the program came from: case-insensitive
// wildcards, no "." and "..", attribute flags, and times packed with two-second resolution.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zentu {

// A moment as seconds and nanoseconds since 1970-01-01 UTC.
struct TUnixTime {
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
};

// One directory entry. A symbolic link to a file is described by the file it points to; any
// other link (to a folder, dangling) by the link itself, never as a folder, so walks do not
// follow it.
struct TFindData {
    std::string name;
    uint64_t size = 0;  // 0 for folders
    bool isDirectory = false;
    bool isReadOnly = false;  // no write permission bit at all, or not writable by us
    bool isHidden = false;    // the name starts with "."
    bool isSystem = false;    // devices, pipes and sockets
    bool isArchive = false;   // regular files
    bool isSymlink = false;
    std::optional<TUnixTime> creationTime;  // only where the file system records it
    std::optional<TUnixTime> lastWriteTime;
    std::optional<TUnixTime> lastAccessTime;
    uint64_t device = 0;  // file system and node, to tell mount points and folders seen before
    uint64_t inode = 0;
};

// Whether `name` matches `pattern`: '*' any run of characters, '?' exactly one, ASCII letters
// compared without case; "*.*" and "*" match every name.
bool MatchWildcard(const std::string& pattern, const std::string& name);

// `path` as a full path: relative to the current folder, "." and ".." resolved by name, runs
// of '/' joined, no trailing '/' except for the root. An empty path stays empty.
std::string ExpandPath(const std::string& path);

// Whether something exists at `path` (links not followed).
bool PathExists(const std::string& path);

// Describes the entry at `path`, the last name of the path as its name ("/" for the root).
// A link given here is followed, to a folder too. False when nothing is there.
bool FindEntry(const std::string& path, TFindData& data);

// How much the listing tells of each entry.
enum class TListDetail {
    Full,     // all of TFindData
    Folders,  // every entry; folders in full, the rest with their name (and isHidden) alone:
              // only entries the listing itself does not mark as no folder are looked up
    Names,    // every entry with its name (and isHidden) alone: nothing is looked up
};

// Lists a folder's entries whose names match a pattern, in the order the file system gives.
// A folder that cannot be opened lists nothing.
class TDirLister {
public:
    TDirLister(const std::string& folder, std::string pattern, TListDetail detail = TListDetail::Full);
    ~TDirLister();
    TDirLister(const TDirLister&) = delete;
    TDirLister& operator=(const TDirLister&) = delete;

    bool IsOpen() const;
    // The next matching entry; false at the end.
    bool Next(TFindData& data);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A packed local date and time: date = (year - 1980) << 9 | month << 5 | day,
// time = hour << 11 | minute << 5 | second / 2.
struct TDosDateTime {
    uint16_t date = 0;
    uint16_t time = 0;
};

// `moment` in local time packed to two seconds; nothing before 1980 or after 2107.
std::optional<TDosDateTime> UnixTimeToLocalDosDateTime(const TUnixTime& moment);

// A packed date and time as days since 1899-12-30, the fraction being the time of day;
// nothing when the packed value is not a valid date and time.
std::optional<double> DosDateTimeToDateTime(const TDosDateTime& packed);

}  // namespace zentu
