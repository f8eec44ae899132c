#include "components/search_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "platform/dir_lister.h"

namespace zentu {
namespace {

namespace fs = std::filesystem;

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zentu-search-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        for (auto& entry : fs::recursive_directory_iterator(root_, fs::directory_options::skip_permission_denied, ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }
    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
    void File(const std::string& relative, size_t size = 1) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        std::ofstream(Path(relative)) << std::string(size, 'x');
    }
    void Dir(const std::string& relative) const { fs::create_directories(Path(relative)); }

    // Runs a search and returns the reported names relative to the root.
    // A recursive search below the test folder's `folder`.
    void SearchBelow(TSearchFile& search, const std::string& folder, const std::string& pattern = "") const {
        search.Directory = Path(folder);
        search.Recursive = true;
        search.SearchName = pattern;
    }
    std::vector<std::string> Files(TSearchFile& search) {
        std::vector<std::string> found;
        if (!search.OnFind)
            search.OnFind = [&](TSearchFile&, const std::string& name, TSearchFileData, bool&) { found.push_back(name); };
        lastResult_ = search.Execute();
        for (auto& name : found) name = Relative(name);
        return found;
    }
    std::string Relative(const std::string& name) const {
        return name.rfind(root_, 0) == 0 ? name.substr(std::min(name.size(), root_.size() + 1)) : "!" + name;
    }

    std::string root_;
    bool lastResult_ = false;
};

using Names = std::vector<std::string>;

TEST_F(SearchTest, RecursiveSearchReportsFilesLevelByLevel) {
    File("a/1.mp3");
    File("a/skip.txt");
    File("a/b1/2.mp3");
    File("a/b1/c/4.mp3");
    File("a/b2/3.mp3");
    TSearchFile search;
    SearchBelow(search, "a", "*.mp3");
    Names folders;
    search.OnFindDir = [&](TSearchFile&, const std::string& name, TSearchFileData data, bool&, bool&) {
        folders.push_back(Relative(name));
        EXPECT_TRUE(data.IsDirectory);
    };
    Names files = Files(search);
    EXPECT_TRUE(lastResult_);
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[0], "a/1.mp3");
    EXPECT_EQ(files[3], "a/b1/c/4.mp3");  // the deeper level after both folders of the level above
    Names middle(files.begin() + 1, files.begin() + 3);
    std::sort(middle.begin(), middle.end());
    EXPECT_EQ(middle, (Names{"a/b1/2.mp3", "a/b2/3.mp3"}));
    ASSERT_EQ(folders.size(), 4u);
    EXPECT_EQ(folders[0], "a");
    EXPECT_EQ(folders[3], "a/b1/c");

    // Without Recursive: the folder's own files, and OnFindDir never.
    search.Recursive = false;
    folders.clear();
    search.OnFind = nullptr;
    EXPECT_EQ(Files(search), Names{"a/1.mp3"});
    EXPECT_TRUE(folders.empty());
    // A relative Directory is taken from the current folder.
    auto cwd = fs::current_path();
    fs::current_path(root_);
    search.Directory = "./a/b1/../b2/";
    search.OnFind = nullptr;
    EXPECT_EQ(Files(search), Names{"a/b2/3.mp3"});
    fs::current_path(cwd);
}

TEST_F(SearchTest, SkipAndIgnoreSubDirDecidePerFolder) {
    File("a/1.mp3");
    File("a/b/2.mp3");
    File("a/b/c/3.mp3");
    TSearchFile search;
    SearchBelow(search, "a", "*.mp3");
    bool ignoreToo = false;
    search.OnFindDir = [&](TSearchFile&, const std::string& name, TSearchFileData, bool& Skip, bool& IgnoreSubDir) {
        if (Relative(name) == "a/b") {
            Skip = true;
            IgnoreSubDir = ignoreToo;
        }
    };
    EXPECT_EQ(Files(search), (Names{"a/1.mp3", "a/b/c/3.mp3"}));
    ignoreToo = true;
    search.OnFind = nullptr;
    EXPECT_EQ(Files(search), (Names{"a/1.mp3"}));

    search.OnFindDir = [&](TSearchFile&, const std::string& name, TSearchFileData, bool&, bool& IgnoreSubDir) {
        if (Relative(name) == "a") IgnoreSubDir = true;
    };
    search.OnFind = nullptr;
    EXPECT_EQ(Files(search), (Names{"a/1.mp3"}));
}

TEST_F(SearchTest, EndingTheSearchFromAHandler) {
    File("a/1.mp3");
    File("a/2.mp3");
    File("a/b/3.mp3");
    TSearchFile search;
    SearchBelow(search, "a");
    int reported = 0;
    bool nested = true;
    search.OnFind = [&](TSearchFile& sender, const std::string&, TSearchFileData, bool& Continue) {
        ++reported;
        nested = sender.Execute();  // busy: refused at once
        Continue = false;
    };
    EXPECT_FALSE(search.Execute());
    EXPECT_EQ(reported, 1);
    EXPECT_FALSE(nested);
    EXPECT_FALSE(search.Busy());

    // Any other error passes on to the caller; the component is usable again.
    search.OnFind = [&](TSearchFile&, const std::string&, TSearchFileData, bool&) { throw std::runtime_error("x"); };
    EXPECT_THROW(search.Execute(), std::runtime_error);
    EXPECT_FALSE(search.Busy());
    search.OnFindDir = [&](TSearchFile&, const std::string&, TSearchFileData, bool&, bool&) {
        throw std::runtime_error("y");
    };
    EXPECT_THROW(search.Execute(), std::runtime_error);
    EXPECT_FALSE(search.Busy());
    search.OnFindDir = nullptr;
    search.OnFind = nullptr;
    EXPECT_EQ(Files(search).size(), 4u);  // the three files and the folder b

    // No handler: nothing runs.
    TSearchFile idle;
    idle.Directory = Path("a");
    EXPECT_FALSE(idle.Execute());
}

TEST_F(SearchTest, EmptyPatternReportsEveryEntryAndMatchingIgnoresCase) {
    File("a/SONG.MP3");
    File("a/song.mp3x");
    File("a/.hidden.mp3");
    Dir("a/folder.mp3");
    Dir("a/sub");
    TSearchFile search;
    search.Directory = Path("a");
    std::vector<std::pair<std::string, bool>> seen;
    search.OnFind = [&](TSearchFile&, const std::string& name, TSearchFileData data, bool&) {
        seen.emplace_back(Relative(name), data.IsDirectory);
    };
    search.SearchName = "*.mp3";
    EXPECT_TRUE(search.Execute());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{
                        {"a/.hidden.mp3", false}, {"a/SONG.MP3", false}, {"a/folder.mp3", true}}));
    seen.clear();
    search.SearchName = "";
    EXPECT_TRUE(search.Execute());
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](auto& s) { return s.second; }), 2);
    // Names alone: the same entries, folders too, each with an empty record.
    seen.clear();
    search.SearchName = "*.mp3";
    search.EntryData = false;
    EXPECT_TRUE(search.Execute());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{
                        {"a/.hidden.mp3", false}, {"a/SONG.MP3", false}, {"a/folder.mp3", false}}));
}

TEST_F(SearchTest, MissingFoldersReportNothing) {
    TSearchFile search;
    SearchBelow(search, "none");
    EXPECT_TRUE(Files(search).empty());
    EXPECT_TRUE(lastResult_);
    search.Recursive = false;
    search.OnFind = nullptr;
    EXPECT_TRUE(Files(search).empty());

    TSearchDir walk;
    walk.BaseDir = Path("none");
    int reported = 0;
    walk.OnFind = [&](TSearchDir&, const std::string&, TSearchFileData, bool&, bool&) { ++reported; };
    EXPECT_FALSE(walk.Execute());
    walk.BaseDir = "";
    EXPECT_FALSE(walk.Execute());
    EXPECT_EQ(reported, 0);
}

TEST_F(SearchTest, LinksToFoldersAreNotFollowedLinksToFilesAre) {
    File("a/b/1.mp3", 1234);
    fs::create_directory_symlink(Path("a"), Path("a/b/loop"));
    fs::create_symlink(Path("a/b/1.mp3"), Path("a/link.mp3"));
    fs::create_symlink(Path("nowhere"), Path("a/dangling.mp3"));
    TSearchFile search;
    SearchBelow(search, "a");
    std::vector<std::pair<std::string, TSearchFileData>> seen;
    search.OnFind = [&](TSearchFile&, const std::string& name, TSearchFileData data, bool&) {
        seen.emplace_back(Relative(name), data);
    };
    EXPECT_TRUE(search.Execute());
    std::sort(seen.begin(), seen.end(), [](auto& x, auto& y) { return x.first < y.first; });
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].first, "a/b");
    EXPECT_EQ(seen[1].first, "a/b/1.mp3");
    EXPECT_EQ(seen[2].first, "a/b/loop");  // reported, not entered
    EXPECT_FALSE(seen[2].second.IsDirectory);
    EXPECT_EQ(seen[3].first, "a/dangling.mp3");
    EXPECT_EQ(seen[4].first, "a/link.mp3");
    EXPECT_EQ(seen[4].second.FileSize, 1234);
    EXPECT_FALSE(seen[4].second.IsDirectory);

    // A link given as the base itself is followed.
    search.Directory = Path("a/b/loop");
    search.SearchName = "*.mp3";
    search.OnFind = nullptr;
    EXPECT_EQ(Files(search).size(), 3u);
}

TEST_F(SearchTest, FoldersThatCannotBeListedArePassedOver) {
    File("a/1.mp3");
    File("a/b/2.mp3");
    File("a/b/c/3.mp3");
    File("a/d/4.mp3");
    TSearchFile search;
    SearchBelow(search, "a");
    // A folder that vanishes between the walk and the listing of its files.
    search.OnFindDir = [&](TSearchFile&, const std::string& name, TSearchFileData, bool&, bool&) {
        if (Relative(name) == "a/d") fs::rename(Path("a/d"), Path("gone"));
    };
    search.SearchName = "*.mp3";
    Names files = Files(search);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (Names{"a/1.mp3", "a/b/2.mp3", "a/b/c/3.mp3"}));
    EXPECT_TRUE(lastResult_);

    if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    chmod(Path("a/b").c_str(), 0);
    search.OnFindDir = nullptr;
    search.OnFind = nullptr;
    EXPECT_EQ(Files(search), Names{"a/1.mp3"});
    EXPECT_TRUE(lastResult_);
}

TEST_F(SearchTest, EntryDataCarriesSizeFlagsAndTwoSecondLocalTimes) {
    File("a/f.mp3", 1234);
    File("a/.h");
    File("a/old");
    File("a/ro");
    chmod(Path("a/ro").c_str(), 0444);
    // 2001-02-03 04:05:07 local time, packed to 04:05:06.
    struct tm local {};
    local.tm_year = 101, local.tm_mon = 1, local.tm_mday = 3, local.tm_hour = 4, local.tm_min = 5, local.tm_sec = 7;
    local.tm_isdst = -1;
    struct timespec times[2] = {{mktime(&local), 0}, {mktime(&local), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Path("a/f.mp3").c_str(), times, 0), 0);
    struct timespec old[2] = {{100000000, 0}, {100000000, 0}};  // 1973
    ASSERT_EQ(utimensat(AT_FDCWD, Path("a/old").c_str(), old, 0), 0);

    TSearchFile search;
    search.Directory = Path("a");
    std::map<std::string, TSearchFileData> seen;
    search.OnFind = [&](TSearchFile&, const std::string&, TSearchFileData data, bool&) { seen[data.LongName] = data; };
    ASSERT_TRUE(search.Execute());
    ASSERT_EQ(seen.size(), 4u);
    const TSearchFileData& f = seen["f.mp3"];
    EXPECT_EQ(f.ShortName, "f.mp3");
    EXPECT_EQ(f.FileSize, 1234);
    EXPECT_TRUE(f.LastWriteTimeValid);
    EXPECT_DOUBLE_EQ(f.LastWriteTime, 36925 + (4 * 3600 + 5 * 60 + 6) / 86400.0);
    EXPECT_TRUE(f.LastAccessTimeValid);
    EXPECT_DOUBLE_EQ(f.LastAccessTime, f.LastWriteTime);
    EXPECT_TRUE(f.IsArchive);
    EXPECT_FALSE(f.IsHidden || f.IsReadOnly || f.IsSystem || f.IsDirectory);
    EXPECT_TRUE(seen[".h"].IsHidden);
    EXPECT_TRUE(seen["ro"].IsReadOnly);
    EXPECT_FALSE(seen["old"].LastWriteTimeValid);  // before 1980: cannot be packed
    EXPECT_EQ(seen["old"].LastWriteTime, 0);
}

TEST_F(SearchTest, FolderWalkReportsTheBaseThenEachLevel) {
    Dir("a/b/c");
    Dir("a/e");
    TSearchDir walk;
    walk.BaseDir = Path("a") + "/";
    Names seen;
    walk.OnFind = [&](TSearchDir& sender, const std::string& name, TSearchFileData data, bool&, bool& Continue) {
        seen.push_back(Relative(name));
        EXPECT_TRUE(data.IsDirectory);
        EXPECT_FALSE(sender.Execute());
        if (Relative(name) == "a/b/c") Continue = false;
    };
    EXPECT_FALSE(walk.Execute());
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "a");
    EXPECT_EQ(seen[3], "a/b/c");
}

TEST(SearchMounts, OneFileSystemStaysOnTheBaseFileSystem) {
    struct stat rootInfo {}, procInfo {};
    if (stat("/", &rootInfo) != 0 || stat("/proc/self", &procInfo) != 0 || rootInfo.st_dev == procInfo.st_dev)
        GTEST_SKIP() << "no separate /proc here";
    auto topLevel = [](bool oneFileSystem) {
        TSearchDir walk;
        walk.BaseDir = "/";
        walk.OneFileSystem = oneFileSystem;
        Names seen;
        walk.OnFind = [&](TSearchDir&, const std::string& name, TSearchFileData, bool& IgnoreSubDir, bool&) {
            seen.push_back(name);
            IgnoreSubDir = name != "/";
        };
        EXPECT_TRUE(walk.Execute());
        return seen;
    };
    Names all = topLevel(false);
    Names same = topLevel(true);
    EXPECT_EQ(all.front(), "/");
    EXPECT_NE(std::find(all.begin(), all.end(), "/proc"), all.end());
    EXPECT_EQ(std::find(same.begin(), same.end(), "/proc"), same.end());
    EXPECT_EQ(same.front(), "/");
}

TEST(Wildcards, MatchLikeTheDesktopDoes) {
    EXPECT_TRUE(MatchWildcard("*.mp3", "SONG.MP3"));
    EXPECT_TRUE(MatchWildcard("*.mp3", ".mp3"));
    EXPECT_FALSE(MatchWildcard("*.mp3", "song.mp3x"));
    EXPECT_FALSE(MatchWildcard("*.mp3", "song.mp"));
    EXPECT_TRUE(MatchWildcard("*.*", "noextension"));
    EXPECT_TRUE(MatchWildcard("a?c", "ABC"));
    EXPECT_FALSE(MatchWildcard("a?c", "ac"));
    EXPECT_TRUE(MatchWildcard("a*b*c", "a-xb-b-yc"));
    EXPECT_TRUE(MatchWildcard("春*.mp3", "春の海.mp3"));
    EXPECT_FALSE(MatchWildcard("", "x"));
    // No exponential back-tracking.
    EXPECT_FALSE(MatchWildcard("*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

TEST(Paths, ExpandJoinsResolvesAndTrims) {
    EXPECT_EQ(ExpandPath("/music//jazz/./../pop/"), "/music/pop");
    EXPECT_EQ(ExpandPath("/.."), "/");
    EXPECT_EQ(ExpandPath("/"), "/");
    EXPECT_EQ(ExpandPath(""), "");
    EXPECT_EQ(ExpandPath("x"), fs::current_path().string() + "/x");
}

TEST(DosTimes, PackingLimitsAndCalendar) {
    EXPECT_FALSE(DosDateTimeToDateTime({static_cast<uint16_t>(0 << 9 | 2 << 5 | 30), 0}));  // 30 February
    EXPECT_TRUE(DosDateTimeToDateTime({static_cast<uint16_t>(20 << 9 | 2 << 5 | 29), 0}));  // 2000 is leap
    EXPECT_FALSE(DosDateTimeToDateTime({static_cast<uint16_t>(120 << 9 | 2 << 5 | 29), 0}));  // 2100 is not
    EXPECT_FALSE(DosDateTimeToDateTime({static_cast<uint16_t>(1 << 5 | 1), static_cast<uint16_t>(24 << 11)}));
    EXPECT_DOUBLE_EQ(*DosDateTimeToDateTime({static_cast<uint16_t>(1 << 5 | 1), 0}), 29221);  // 1980-01-01
    EXPECT_FALSE(UnixTimeToLocalDosDateTime({int64_t{1} << 60, 0}));
    EXPECT_FALSE(UnixTimeToLocalDosDateTime({4500000000, 0}));  // 2112
    auto packed = UnixTimeToLocalDosDateTime({1000000000, 0});
    ASSERT_TRUE(packed);
    EXPECT_TRUE(DosDateTimeToDateTime(*packed));
}

}  // namespace
}  // namespace zentu
