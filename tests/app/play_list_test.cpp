// The play list's order: as a person reads the names, by locale, without regard to case.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/play_list.h"

using zentu::TPathListModel;

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
        TPathListModel batch(nullptr, row.locale), single(nullptr, row.locale);
        batch.BeginBatch();
        for (const std::string& name : found) {
            batch.Add("/m/" + name);
            single.Add("/m/" + name);  // each at its place at once
        }
        batch.EndBatch();
        for (size_t i = 0; i < row.order.size(); ++i) {
            const std::string path = "/m/" + row.order[i];
            EXPECT_EQ(batch.Path(static_cast<int>(i)), path) << row.locale << " line " << i;
            EXPECT_EQ(single.Path(static_cast<int>(i)), path) << row.locale << " line " << i;
            EXPECT_EQ(batch.Find(path), static_cast<int>(i)) << row.locale;
        }
    }
}
