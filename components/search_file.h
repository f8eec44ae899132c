// TSearchFile finds the files matching a name pattern in a folder, or in a folder and every
// folder below it, breadth-first; TSearchDir walks a folder tree. Both report through events
// raised from inside Execute, on the caller's thread. Each folder is listed once: a recursive
// search takes the files from the walk's own listing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>

#include "platform/dir_lister.h"

namespace zentu {

// One directory entry as the events see it. Times are local, days since 1899-12-30.
struct TSearchFileData {
    std::string LongName;
    std::string ShortName;  // the long name again: there are no short names here
    int64_t FileSize = 0;
    bool CreationTimeValid = false;
    double CreationTime = 0;
    bool LastWriteTimeValid = false;
    double LastWriteTime = 0;
    bool LastAccessTimeValid = false;
    double LastAccessTime = 0;
    bool IsDirectory = false;
    bool IsReadOnly = false;
    bool IsHidden = false;
    bool IsSystem = false;
    bool IsArchive = false;
};

// Fills the record from a listing entry, with its times packed to two seconds.
TSearchFileData MakeSearchFileData(const TFindData& entry);

class TSearchFile;
class TSearchDir;

using TFindFileEvent =
    std::function<void(TSearchFile& sender, const std::string& name, TSearchFileData data, bool& Continue)>;
using TFindDirEvent = std::function<void(TSearchFile& sender, const std::string& name, TSearchFileData data,
                                         bool& Skip, bool& IgnoreSubDir)>;
using TSearchDirEvent = std::function<void(TSearchDir& sender, const std::string& name, TSearchFileData data,
                                           bool& IgnoreSubDir, bool& Continue)>;

// Walks the folders below BaseDir level by level, reporting each folder (the base first).
// Links to folders are not followed, and a folder reached a second time (through a bind
// mount) is not walked again.
class TSearchDir {
public:
    TSearchDir() = default;
    virtual ~TSearchDir() = default;
    TSearchDir(const TSearchDir&) = delete;
    TSearchDir& operator=(const TSearchDir&) = delete;

    std::string BaseDir;
    // Pass over folders on another file system than BaseDir (mount points such as /proc).
    bool OneFileSystem = false;
    TSearchDirEvent OnFind;

    // False when the walk did not start (busy, no OnFind, BaseDir missing) or a handler
    // ended it.
    bool Execute();
    bool Busy() const { return busy_; }

protected:
    virtual void Find(const std::string& name, const TSearchFileData& data, bool& IgnoreSubDir, bool& Continue);
    // For a search built on the walk: whether it wants the entries of `folder` (as reported
    // to Find), about to be listed; then each of them, folders included, in listing order,
    // with the detail `entryDetail_` asks for.
    virtual bool Listing(const std::string& /*folder*/) { return false; }
    virtual void Listed(const std::string& /*folderWithSlash*/, const TFindData& /*entry*/) {}
    TListDetail entryDetail_ = TListDetail::Folders;

private:
    struct TQueued {
        std::string path;
        bool descend;  // false: listed for a search's sake alone
    };
    bool busy_ = false;
    std::deque<TQueued> queue_;
};

class TSearchFile {
public:
    TSearchFile();
    virtual ~TSearchFile();
    TSearchFile(const TSearchFile&) = delete;
    TSearchFile& operator=(const TSearchFile&) = delete;

    std::string Directory;
    bool Recursive = false;
    std::string SearchName;  // empty: every entry
    bool OneFileSystem = false;  // a recursive search stays on Directory's file system
    // False: OnFind gets the name and an empty record, and the files are not looked up one
    // by one (a search that only wants names, over a large tree).
    bool EntryData = true;
    TFindFileEvent OnFind;       // required
    TFindDirEvent OnFindDir;     // raised in recursive searches only

    // False when the search did not start (busy, no OnFind) or a handler ended it.
    bool Execute();
    bool Busy() const { return busy_; }

protected:
    virtual void FindFile(const std::string& name, const TSearchFileData& data, bool& Continue);
    virtual void FindDir(const std::string& name, const TSearchFileData& data, bool& Skip, bool& IgnoreSubDir);

private:
    class TWalk;
    friend class TWalk;

    // The files of one listed folder that match SearchName, to OnFind.
    void Report(const std::string& folderWithSlash, const TFindData& entry, const std::string& pattern);

    bool busy_ = false;
    std::set<std::string> skipped_;  // folders whose files OnFindDir declined
};

}  // namespace zentu
