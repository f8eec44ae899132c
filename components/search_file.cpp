#include "components/search_file.h"

#include <utility>

#include "platform/dir_lister.h"

namespace zentu {

namespace {

// Unwinds from a handler that ended the search to Execute.
struct TSearchAbort {};

class TBusyGuard {
public:
    explicit TBusyGuard(bool& busy) : busy_(busy) { busy_ = true; }
    ~TBusyGuard() { busy_ = false; }
    TBusyGuard(const TBusyGuard&) = delete;
    TBusyGuard& operator=(const TBusyGuard&) = delete;

private:
    bool& busy_;
};

void ConvertTime(const std::optional<TUnixTime>& moment, bool& valid, double& value) {
    valid = false;
    value = 0;
    if (!moment) return;
    auto packed = UnixTimeToLocalDosDateTime(*moment);
    if (!packed) return;
    auto dateTime = DosDateTimeToDateTime(*packed);
    if (!dateTime) return;
    valid = true;
    value = *dateTime;
}

std::string WithSlash(const std::string& folder) {
    return (!folder.empty() && folder.back() == '/') ? folder : folder + "/";
}

}  // namespace

TSearchFileData MakeSearchFileData(const TFindData& entry) {
    TSearchFileData data;
    data.LongName = entry.name;
    data.ShortName = entry.name;
    data.FileSize = static_cast<int64_t>(entry.size);
    ConvertTime(entry.creationTime, data.CreationTimeValid, data.CreationTime);
    ConvertTime(entry.lastWriteTime, data.LastWriteTimeValid, data.LastWriteTime);
    ConvertTime(entry.lastAccessTime, data.LastAccessTimeValid, data.LastAccessTime);
    data.IsDirectory = entry.isDirectory;
    data.IsReadOnly = entry.isReadOnly;
    data.IsHidden = entry.isHidden;
    data.IsSystem = entry.isSystem;
    data.IsArchive = entry.isArchive;
    return data;
}

void TSearchDir::Find(const std::string& name, const TSearchFileData& data, bool& IgnoreSubDir, bool& Continue) {
    if (OnFind) OnFind(*this, name, data, IgnoreSubDir, Continue);
}

bool TSearchDir::Execute() {
    if (busy_ || !OnFind) return false;
    std::string base = ExpandPath(BaseDir);
    if (!PathExists(base)) return false;
    TBusyGuard busy(busy_);
    queue_.clear();

    TFindData baseEntry;
    if (!FindEntry(base, baseEntry)) return false;  // vanished meanwhile
    const uint64_t baseDevice = baseEntry.device;
    std::set<std::pair<uint64_t, uint64_t>> seen{{baseEntry.device, baseEntry.inode}};

    bool ignoreSubDir = false;
    bool keepOn = true;
    Find(base, MakeSearchFileData(baseEntry), ignoreSubDir, keepOn);
    if (!keepOn) return false;
    // A folder not to descend into is still listed when a search wants its entries.
    if (!ignoreSubDir || Listing(base)) queue_.push_back({base, !ignoreSubDir});

    while (!queue_.empty()) {
        const TQueued next = std::move(queue_.front());
        queue_.pop_front();
        const bool entriesWanted = Listing(next.path);
        const std::string folder = WithSlash(next.path);
        TDirLister lister(folder, "*", entriesWanted ? entryDetail_ : TListDetail::Folders);
        TFindData entry;
        while (lister.Next(entry)) {
            if (next.descend && entry.isDirectory && (!OneFileSystem || entry.device == baseDevice) &&
                seen.insert({entry.device, entry.inode}).second) {
                std::string path = folder + entry.name;
                ignoreSubDir = false;
                Find(path, MakeSearchFileData(entry), ignoreSubDir, keepOn);
                if (!keepOn) return false;
                if (!ignoreSubDir || Listing(path)) queue_.push_back({std::move(path), !ignoreSubDir});
            }
            if (entriesWanted) Listed(folder, entry);
        }
    }
    return true;
}

// The walk of a recursive search, which hands each folder's listing on to it.
class TSearchFile::TWalk final : public TSearchDir {
public:
    TWalk(TSearchFile& search, TListDetail detail, std::string pattern) : search_(search), pattern_(std::move(pattern)) {
        entryDetail_ = detail;
    }

private:
    bool Listing(const std::string& folder) override { return !search_.skipped_.contains(folder); }
    void Listed(const std::string& folderWithSlash, const TFindData& entry) override {
        search_.Report(folderWithSlash, entry, pattern_);
    }

    TSearchFile& search_;
    const std::string pattern_;
};

TSearchFile::TSearchFile() = default;

TSearchFile::~TSearchFile() = default;

void TSearchFile::FindFile(const std::string& name, const TSearchFileData& data, bool& Continue) {
    if (OnFind) OnFind(*this, name, data, Continue);
}

void TSearchFile::FindDir(const std::string& name, const TSearchFileData& data, bool& Skip, bool& IgnoreSubDir) {
    if (OnFindDir) OnFindDir(*this, name, data, Skip, IgnoreSubDir);
}

void TSearchFile::Report(const std::string& folderWithSlash, const TFindData& entry, const std::string& pattern) {
    if (!MatchWildcard(pattern, entry.name)) return;
    bool keepOn = true;
    FindFile(folderWithSlash + entry.name, EntryData ? MakeSearchFileData(entry) : TSearchFileData{}, keepOn);
    if (!keepOn) throw TSearchAbort{};
}

bool TSearchFile::Execute() {
    if (busy_ || !OnFind) return false;
    TBusyGuard busy(busy_);
    skipped_.clear();
    const std::string pattern = SearchName.empty() ? "*" : SearchName;
    try {
        if (Recursive) {
            // The walk's result is not looked at: a missing Directory simply yields nothing.
            TWalk walk(*this, EntryData ? TListDetail::Full : TListDetail::Folders, pattern);
            walk.BaseDir = Directory;
            walk.OneFileSystem = OneFileSystem;
            walk.OnFind = [this](TSearchDir&, const std::string& name, TSearchFileData data, bool& IgnoreSubDir, bool&) {
                bool skip = false;
                FindDir(name, data, skip, IgnoreSubDir);
                if (skip) skipped_.insert(name);
            };
            walk.Execute();
        } else if (const std::string folder = ExpandPath(Directory); !folder.empty()) {
            const std::string prefix = WithSlash(folder);
            TDirLister lister(prefix, pattern, EntryData ? TListDetail::Full : TListDetail::Names);
            TFindData entry;
            while (lister.Next(entry)) Report(prefix, entry, "*");
        }
    } catch (const TSearchAbort&) {
        return false;
    }
    return true;
}

}  // namespace zentu
