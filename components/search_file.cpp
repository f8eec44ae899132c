#include "components/search_file.h"

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
    if (!ignoreSubDir) queue_.push_back(base);

    while (!queue_.empty()) {
        std::string folder = WithSlash(queue_.front());
        queue_.pop_front();
        TDirLister lister(folder, "*", TListDetail::Folders);
        TFindData entry;
        while (lister.Next(entry)) {
            if (OneFileSystem && entry.device != baseDevice) continue;
            if (!seen.insert({entry.device, entry.inode}).second) continue;
            std::string path = folder + entry.name;
            ignoreSubDir = false;
            Find(path, MakeSearchFileData(entry), ignoreSubDir, keepOn);
            if (!keepOn) return false;
            if (!ignoreSubDir) queue_.push_back(path);
        }
    }
    return true;
}

TSearchFile::TSearchFile() : searchDir_(std::make_unique<TSearchDir>()) {
    searchDir_->OnFind = [this](TSearchDir&, const std::string& name, TSearchFileData data, bool& IgnoreSubDir,
                                bool&) {
        bool skip = false;
        FindDir(name, data, skip, IgnoreSubDir);
        if (!skip) folders_.push_back(name);
    };
}

TSearchFile::~TSearchFile() = default;

void TSearchFile::FindFile(const std::string& name, const TSearchFileData& data, bool& Continue) {
    if (OnFind) OnFind(*this, name, data, Continue);
}

void TSearchFile::FindDir(const std::string& name, const TSearchFileData& data, bool& Skip, bool& IgnoreSubDir) {
    if (OnFindDir) OnFindDir(*this, name, data, Skip, IgnoreSubDir);
}

bool TSearchFile::Execute() {
    if (busy_ || !OnFind) return false;
    TBusyGuard busy(busy_);
    folders_.clear();
    if (Recursive) {
        searchDir_->BaseDir = Directory;
        searchDir_->OneFileSystem = OneFileSystem;
        searchDir_->Execute();
    } else {
        std::string folder = ExpandPath(Directory);
        if (!folder.empty()) folders_.push_back(folder);
    }

    const std::string pattern = SearchName.empty() ? "*" : SearchName;
    bool keepOn = true;
    try {
        for (const std::string& folder : folders_) {
            const std::string prefix = WithSlash(folder);
            TDirLister lister(prefix, pattern, EntryData ? TListDetail::Full : TListDetail::Names);
            TFindData entry;
            const TSearchFileData none;
            while (lister.Next(entry)) {
                FindFile(prefix + entry.name, EntryData ? MakeSearchFileData(entry) : none, keepOn);
                if (!keepOn) throw TSearchAbort{};
            }
        }
    } catch (const TSearchAbort&) {
        folders_.clear();
        return false;
    }
    folders_.clear();
    return true;
}

}  // namespace zentu
