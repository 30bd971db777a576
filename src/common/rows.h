#pragma once
// A batch of vectors of any lengths in one allocation.

#include <cstddef>
#include <vector>

#include "common/memory.h"
#include "common/vec.h"

namespace orbisk {

class Rows {
  public:
    std::size_t size() const { return ends_.size(); }
    /// Bytes of the values held.
    std::size_t bytes() const { return values_.size() * sizeof(double); }
    bool empty() const { return ends_.empty(); }
    Vec operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return Vec(values_.data() + begin, ends_[i] - begin);
    }
    void clear() {
        values_.clear();
        ends_.clear();
    }
    void reserve(std::size_t rows) { ends_.reserve(rows); }
    /// Room for `n` more values, so that the appends after it cannot fail.
    void reserve_values(std::size_t n) { reserve_more(values_, n); }
    void append(Vec row) {
        reserve_more(values_, row.size());
        reserve_more(ends_, 1);
        values_.insert(values_.end(), row.begin(), row.end());
        ends_.push_back(values_.size());
    }
    /// Appends a row of n values for the caller to fill in.
    double* add_row(std::size_t n) {
        reserve_more(ends_, 1);
        values_.resize(values_.size() + n);
        ends_.push_back(values_.size());
        return values_.data() + values_.size() - n;
    }

  private:
    std::vector<double> values_;
    std::vector<std::size_t> ends_;
};

}  // namespace orbisk
