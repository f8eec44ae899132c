// The play list: its order (as a person reads the names, by locale, without regard to case)
// and its lines, which show every character.
#include <gtest/gtest.h>

#include <QImage>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/play_list.h"

TEST(PlayList, SortedAsReadWithoutCaseByTheLocale) {
    // 春の海 in CP932 sorts as the text it shows; "Ete" and "ete" are equal but for case, so
    // their bytes decide; 亜 (a) comes before 一 (ichi) in Japanese, after it elsewhere.
    const std::vector<std::string> found = {"Zebra", "éte", "\x8f\x74\x82\xcc\x8a\x43", "ete", "一番", "abba",
                                            "あいう", "_under", "Ete", "亜細亜", "Äpfel"};
    const struct {
        const char* locale;
        std::vector<std::string> order;
    } rows[] = {
        {"de_DE", {"_under", "abba", "Äpfel", "Ete", "ete", "éte", "Zebra", "あいう", "一番", "亜細亜", "\x8f\x74\x82\xcc\x8a\x43"}},
        {"ja_JP", {"_under", "abba", "Äpfel", "Ete", "ete", "éte", "Zebra", "あいう", "亜細亜", "一番", "\x8f\x74\x82\xcc\x8a\x43"}},
    };
    for (const auto& row : rows) {
        zentu::TPathListModel batch(nullptr, row.locale), single(nullptr, row.locale);
        batch.BeginBatch();
        for (const std::string& name : found) batch.Add(name), single.Add(name);  // single: each at its place
        batch.EndBatch();
        for (int i = 0; i < static_cast<int>(row.order.size()); ++i) {
            EXPECT_EQ(batch.Path(i), row.order[i]) << row.locale << " line " << i;
            EXPECT_EQ(single.Path(i), row.order[i]) << row.locale << " line " << i;
            EXPECT_EQ(batch.Find(row.order[i]), i) << row.locale;
        }
    }
}

TEST(PlayList, LinesShowWhatFallsBelowTheBaseline) {
    // "_" and a blank look different only in a line tall enough for the underscore.
    QImage lines[2];
    for (int i : {0, 1}) {
        zentu::TPlayList list(nullptr);
        list.setFont(zentu::WindowFont());
        list.Add(i ? "_" : " ");
        list.doItemsLayout();
        lines[i] = list.grab(QRect(0, 0, 40, 20)).toImage();
    }
    EXPECT_NE(lines[0], lines[1]);
}
