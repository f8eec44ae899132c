// MPList, the play list: every path found, sorted as a person reads the text it shows (by the
// user's locale, without regard to case; texts equal so stay in byte order), duplicates kept.
// A library of a hundred thousand files must not cost a widget item per line: the paths are
// held once, as bytes in blocks, and the view asks for the text of the lines it shows only.
#pragma once

#include <QAbstractListModel>
#include <QFont>
#include <QListView>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct UCollator;

namespace zentu {

// A list line's height: 12 pixels, or the font's height where that is more (the window font's
// underscore and descenders fall below 12 pixels).
int ListLineHeight(const QFont& font);

// The locale whose order the list follows, as ICU names it: from LC_ALL, LC_COLLATE or LANG
// (the first set), without its encoding; "" (ICU's root order) for C and POSIX.
std::string UserCollationLocale();

class TPathListModel final : public QAbstractListModel {
public:
    explicit TPathListModel(QObject* parent, const std::string& locale = UserCollationLocale());
    ~TPathListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // The path as text (display and tooltip: the view cuts long lines in the middle) and the
    // line height.
    QVariant data(const QModelIndex& index, int role) const override;
    void SetLineHeight(int height) { lineHeight_ = height; }

    int Count() const { return static_cast<int>(lines_.size()); }
    std::string_view Path(int row) const;
    // The first line holding `path`; -1 when none (or while a batch is open).
    int Find(std::string_view path) const;
    void Clear();
    // At its sorted place; while a batch is open, at the end until the batch closes.
    void Add(std::string_view path);
    // Many paths at once: added unsorted, then sorted once when the batch closes.
    void BeginBatch();
    void EndBatch();

private:
    struct TLine {
        const char* path;
        const char* text;  // as shown, UTF-8: the path itself when it is UTF-8
    };
    struct TCollatorClose {
        void operator()(UCollator* collator) const;
    };

    // Copies the bytes into the blocks, ended by a NUL.
    const char* Keep(std::string_view bytes);
    TLine Store(std::string_view path);
    // The list's order: the shown texts by the collator, then the paths' bytes.
    bool Less(const TLine& a, const TLine& b) const;
    auto Order() const {
        return [this](const TLine& a, const TLine& b) { return Less(a, b); };
    }

    // The paths, in blocks that never move once filled: a growing block would be copied
    // over and over, and each copy touches fresh pages.
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;  // the unused rest of the last block
    size_t freeSize_ = 0;
    std::vector<TLine> lines_;  // in list order
    bool batch_ = false;
    int lineHeight_ = 12;
    std::unique_ptr<UCollator, TCollatorClose> collator_;
};

// The list box over the model, with the list box's calls the window makes.
class TPlayList final : public QListView {
public:
    explicit TPlayList(QWidget* parent);

    int count() const { return model_->Count(); }
    int currentRow() const;
    // -1: none selected.
    void setCurrentRow(int row);
    void clear() { model_->Clear(); }
    void Add(std::string_view path) { model_->Add(path); }
    std::string Path(int row) const;
    int Find(std::string_view path) const { return model_->Find(path); }

    // Adds stay unsorted while it lives, and are sorted once at its end.
    class TBatch {
    public:
        explicit TBatch(TPlayList& list) : model_(*list.model_) { model_.BeginBatch(); }
        ~TBatch() { model_.EndBatch(); }
        TBatch(const TBatch&) = delete;
        TBatch& operator=(const TBatch&) = delete;

    private:
        TPathListModel& model_;
    };

protected:
    // The lines take the height the font needs.
    void changeEvent(QEvent* event) override;

private:
    TPathListModel* model_;  // a child: it outlives the view's own clean-up
};

}  // namespace zentu
