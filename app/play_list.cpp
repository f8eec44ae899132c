#include "app/play_list.h"

#include <unicode/ucol.h>

#include <QEvent>
#include <QFontMetrics>
#include <QSize>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/text_codec.h"

namespace zentu {

int ListLineHeight(const QFont& font) { return std::max(12, QFontMetrics(font).height()); }

std::string UserCollationLocale() {
    for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string locale(value);
        locale = locale.substr(0, locale.find_first_of(".@"));
        return locale == "C" || locale == "POSIX" ? std::string() : locale;
    }
    return {};
}

void TPathListModel::TCollatorClose::operator()(UCollator* collator) const { ucol_close(collator); }

TPathListModel::TPathListModel(QObject* parent, const std::string& locale) : QAbstractListModel(parent) {
    UErrorCode status = U_ZERO_ERROR;
    collator_.reset(ucol_open(locale.c_str(), &status));  // an unknown locale falls back to the root order
    if (U_FAILURE(status)) collator_.reset();
    // Case is the third level: comparing two levels deep leaves it out, but keeps accents.
    if (collator_) ucol_setStrength(collator_.get(), UCOL_SECONDARY);
}

TPathListModel::~TPathListModel() = default;

int TPathListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }

QVariant TPathListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= Count()) return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return QString::fromUtf8(lines_[static_cast<size_t>(index.row())].text);
    case Qt::SizeHintRole:
        return QSize(0, lineHeight_);
    default:
        return {};
    }
}

namespace {

constexpr size_t kBlockSize = 64 * 1024;

}  // namespace

bool TPathListModel::Less(const TLine& a, const TLine& b) const {
    if (collator_) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult order = ucol_strcollUTF8(collator_.get(), a.text, -1, b.text, -1, &status);
        if (U_SUCCESS(status) && order != UCOL_EQUAL) return order == UCOL_LESS;
    }
    // A path holds no NUL, so strcmp compares as std::string does.
    return std::strcmp(a.path, b.path) < 0;
}

std::string_view TPathListModel::Path(int row) const {
    if (row < 0 || row >= Count()) return {};
    return lines_[static_cast<size_t>(row)].path;
}

int TPathListModel::Find(std::string_view path) const {
    if (batch_) return -1;
    const std::string key(path.substr(0, path.find('\0')));
    const std::string text = IsValidUtf8(key) ? key : UntypedTextToUtf8(key);
    const TLine line{key.c_str(), text.c_str()};
    const auto at = std::lower_bound(lines_.begin(), lines_.end(), line, Order());
    return at != lines_.end() && key == at->path ? static_cast<int>(at - lines_.begin()) : -1;
}

const char* TPathListModel::Keep(std::string_view bytes) {
    const size_t size = bytes.size() + 1;
    if (size > freeSize_) {
        freeSize_ = std::max(kBlockSize, size);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(freeSize_));
        free_ = blocks_.back().get();
    }
    char* stored = free_;
    std::memcpy(stored, bytes.data(), bytes.size());
    stored[bytes.size()] = '\0';
    free_ += size;
    freeSize_ -= size;
    return stored;
}

TPathListModel::TLine TPathListModel::Store(std::string_view path) {
    path = path.substr(0, path.find('\0'));
    const char* stored = Keep(path);
    // File names are bytes: UTF-8 when valid, else decoded once here.
    return {stored, IsValidUtf8(path) ? stored : Keep(UntypedTextToUtf8(path))};
}

void TPathListModel::Clear() {
    beginResetModel();
    lines_.clear();
    lines_.shrink_to_fit();
    blocks_.clear();
    blocks_.shrink_to_fit();
    free_ = nullptr;
    freeSize_ = 0;
    endResetModel();
}

void TPathListModel::Add(std::string_view path) {
    const TLine stored = Store(path);
    if (batch_) {
        lines_.push_back(stored);
        return;
    }
    const auto at = std::upper_bound(lines_.begin(), lines_.end(), stored, Order());
    const int row = static_cast<int>(at - lines_.begin());
    beginInsertRows(QModelIndex(), row, row);
    lines_.insert(at, stored);
    endInsertRows();
}

void TPathListModel::BeginBatch() {
    if (batch_) return;
    beginResetModel();
    batch_ = true;
}

void TPathListModel::EndBatch() {
    if (!batch_) return;
    batch_ = false;
    std::sort(lines_.begin(), lines_.end(), Order());
    lines_.shrink_to_fit();
    endResetModel();
}

TPlayList::TPlayList(QWidget* parent) : QListView(parent), model_(new TPathListModel(this)) { setModel(model_); }

void TPlayList::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) model_->SetLineHeight(ListLineHeight(font()));
    QListView::changeEvent(event);
}

int TPlayList::currentRow() const { return currentIndex().row(); }

void TPlayList::setCurrentRow(int row) {
    // As a single-selection list box: the line becomes current and the one selected.
    selectionModel()->setCurrentIndex(model_->index(row), QItemSelectionModel::ClearAndSelect);
}

std::string TPlayList::Path(int row) const { return std::string(model_->Path(row)); }

}  // namespace zentu
