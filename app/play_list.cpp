#include "app/play_list.h"

#include <QSize>
#include <algorithm>
#include <cstring>

#include "platform/text_codec.h"

namespace zentu {

int TPathListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }

QVariant TPathListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= Count()) return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        // File names are bytes that do not say their encoding.
        return QString::fromStdString(UntypedTextToUtf8(Path(index.row())));
    case Qt::SizeHintRole:
        return QSize(0, 12);
    default:
        return {};
    }
}

namespace {

constexpr size_t kBlockSize = 64 * 1024;

// Byte order (code-point order for UTF-8), whatever the locale; a path holds no NUL, so
// strcmp compares as std::string does.
bool Less(const char* a, const char* b) { return std::strcmp(a, b) < 0; }

}  // namespace

std::string_view TPathListModel::Path(int row) const {
    if (row < 0 || row >= Count()) return {};
    return lines_[static_cast<size_t>(row)];
}

int TPathListModel::Find(std::string_view path) const {
    if (batch_) return -1;
    const std::string key(path);
    const auto at = std::lower_bound(lines_.begin(), lines_.end(), key.c_str(), Less);
    return at != lines_.end() && key == *at ? static_cast<int>(at - lines_.begin()) : -1;
}

const char* TPathListModel::Store(std::string_view path) {
    path = path.substr(0, path.find('\0'));
    const size_t size = path.size() + 1;
    if (size > freeSize_) {
        freeSize_ = std::max(kBlockSize, size);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(freeSize_));
        free_ = blocks_.back().get();
    }
    char* stored = free_;
    std::memcpy(stored, path.data(), path.size());
    stored[path.size()] = '\0';
    free_ += size;
    freeSize_ -= size;
    return stored;
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
    const char* stored = Store(path);
    if (batch_) {
        lines_.push_back(stored);
        return;
    }
    const auto at = std::upper_bound(lines_.begin(), lines_.end(), stored, Less);
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
    std::sort(lines_.begin(), lines_.end(), Less);
    lines_.shrink_to_fit();
    endResetModel();
}

TPlayList::TPlayList(QWidget* parent) : QListView(parent), model_(new TPathListModel(this)) { setModel(model_); }

int TPlayList::currentRow() const { return currentIndex().row(); }

void TPlayList::setCurrentRow(int row) {
    // As a single-selection list box: the line becomes current and the one selected.
    selectionModel()->setCurrentIndex(model_->index(row), QItemSelectionModel::ClearAndSelect);
}

std::string TPlayList::Path(int row) const { return std::string(model_->Path(row)); }

}  // namespace zentu
