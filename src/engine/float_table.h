#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/buffer.h"

namespace cropmerge {

// Read-only two-dimensional float64 table addressed through per-axis strides
// (in elements). Borrowed: the owner must outlive the view.
struct TableView {
    const double* data = nullptr;
    size_t rows = 0;
    size_t cols = 0;
    ptrdiff_t row_stride = 0;
    ptrdiff_t col_stride = 1;

    double at(size_t row, size_t col) const {
        return data[static_cast<ptrdiff_t>(row) * row_stride +
                    static_cast<ptrdiff_t>(col) * col_stride];
    }
    const double* row_start(size_t row) const {
        return data + static_cast<ptrdiff_t>(row) * row_stride;
    }
    bool rows_are_contiguous() const { return col_stride == 1; }
};

// Owned float64 table. Storage is left uninitialised on creation: every
// producer writes the rows it keeps and drops the rest.
class FloatTable {
public:
    FloatTable() = default;

    static FloatTable row_major(size_t rows, size_t cols) {
        return FloatTable(rows, cols, static_cast<ptrdiff_t>(cols), 1);
    }
    static FloatTable column_major(size_t rows, size_t cols) {
        return FloatTable(rows, cols, 1, static_cast<ptrdiff_t>(rows));
    }

    size_t rows() const { return rows_; }
    size_t cols() const { return cols_; }
    size_t size() const { return rows_ * cols_; }
    ptrdiff_t row_stride() const { return row_stride_; }
    ptrdiff_t col_stride() const { return col_stride_; }
    double* data() { return storage_.get() + first_; }
    const double* data() const { return storage_.get() + first_; }

    // Keeps rows [first, first + count) only, returning the whole pages of
    // the others. Row-major only.
    void keep_rows(size_t first, size_t count) {
        char* base = reinterpret_cast<char*>(data());
        const size_t row_bytes = cols_ * sizeof(double);
        release_pages(base, base + first * row_bytes);
        release_pages(base + (first + count) * row_bytes, base + rows_ * row_bytes);
        first_ += first * cols_;
        rows_ = count;
    }

    TableView view() const { return {data(), rows_, cols_, row_stride_, col_stride_}; }

    // Hands the storage over to a new owner (the Python result object). The
    // values may start past the storage's beginning: take data() first.
    Buffer<double> release() {
        rows_ = cols_ = 0;
        first_ = 0;
        return std::move(storage_);
    }

private:
    FloatTable(size_t rows, size_t cols, ptrdiff_t row_stride, ptrdiff_t col_stride)
        : storage_(make_buffer<double>(rows * cols)),
          rows_(rows),
          cols_(cols),
          row_stride_(row_stride),
          col_stride_(col_stride) {}

    Buffer<double> storage_;
    size_t first_ = 0;  // elements of storage_ before the table's values
    size_t rows_ = 0;
    size_t cols_ = 0;
    ptrdiff_t row_stride_ = 0;
    ptrdiff_t col_stride_ = 1;
};

}  // namespace cropmerge
