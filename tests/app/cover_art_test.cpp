// The cover offered to the desktop's media controls: written only into a private folder of
// our own under the runtime folder, one file at a time, nothing left at the end.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QUrl>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/mpris.h"

namespace fs = std::filesystem;
using namespace zentu;

namespace {

std::string Read(const QString& url) {
    std::ifstream in(QUrl(url).toLocalFile().toStdString(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TPicture Picture(const std::string& bytes, const std::string& mime) { return {mime, {bytes.begin(), bytes.end()}}; }

}  // namespace

TEST(CoverArt, OneFileInAPrivateFolderReplacedPerTrackAndRemovedAtTheEnd) {
    const fs::path runtime = fs::temp_directory_path() / ("zentu-cover-" + std::to_string(::getpid()));
    fs::remove_all(runtime);
    fs::create_directories(runtime / "zentu");
    fs::permissions(runtime / "zentu", fs::perms::owner_all);
    std::ofstream(runtime / "zentu" / "cover-7.png") << "left by a run that died";
    {
        TCoverArtFile cover(runtime.c_str());
        EXPECT_FALSE(fs::exists(runtime / "zentu"));  // the leftover and its folder are gone
        const QString first = cover.Offer(1, Picture("\x89PNG-one", "image/png"));
        EXPECT_TRUE(first.startsWith(QStringLiteral("file://") + QString::fromStdString(runtime.string()) + "/zentu/"));
        EXPECT_TRUE(first.endsWith(".png"));
        EXPECT_EQ(Read(first), "\x89PNG-one");
        EXPECT_EQ(fs::status(runtime / "zentu").permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_EQ(cover.Offer(1, Picture("ignored", "image/png")), first);  // written once per track

        const QString second = cover.Offer(2, Picture("\xFF\xD8jpeg", "image/jpeg"));
        EXPECT_NE(second, first);
        EXPECT_EQ(Read(second), "\xFF\xD8jpeg");
        EXPECT_FALSE(fs::exists(QUrl(first).toLocalFile().toStdString()));
        EXPECT_TRUE(cover.Offer(3, TPicture{}).isEmpty());  // no picture: no file
        EXPECT_TRUE(fs::is_empty(runtime / "zentu"));
        cover.Offer(4, Picture("x", "image/gif"));
    }
    EXPECT_FALSE(fs::exists(runtime / "zentu"));

    // A folder of that name that others may enter, or a link, is not used; nor is a
    // relative or missing runtime folder.
    fs::create_directories(runtime / "elsewhere");
    fs::create_directory_symlink(runtime / "elsewhere", runtime / "zentu");
    EXPECT_TRUE(TCoverArtFile(runtime.c_str()).Offer(1, Picture("x", "image/png")).isEmpty());
    fs::remove(runtime / "zentu");
    fs::create_directory(runtime / "zentu");
    fs::permissions(runtime / "zentu", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_TRUE(TCoverArtFile(runtime.c_str()).Offer(1, Picture("x", "image/png")).isEmpty());
    EXPECT_TRUE(fs::is_empty(runtime / "elsewhere"));
    EXPECT_TRUE(fs::is_empty(runtime / "zentu"));
    EXPECT_TRUE(TCoverArtFile("relative").Offer(1, Picture("x", "image/png")).isEmpty());
    EXPECT_TRUE(TCoverArtFile(nullptr).Offer(1, Picture("x", "image/png")).isEmpty());
    fs::remove_all(runtime);
}
