// Two-dimensional row-major work arrays and the complex sample type.
//
// Rows start at 64-byte boundaries (each row is padded to a multiple of 64 bytes) so that every
// row, and every prefix of a row, can be handed to an FFT plan made for aligned data.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "error.hpp"

namespace tolvane {

// Interleaved (re, im) single-precision pair; layout-compatible with fftwf_complex.
using Complex = std::complex<float>;

inline constexpr std::size_t kRowAlignment = 64;

template <class T>
class Array2 {
 public:
  Array2() = default;
  Array2(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), stride_(padded(cols)) {
    std::size_t elements = 0;
    ensure(!__builtin_mul_overflow(rows, stride_, &elements) &&
               elements <= SIZE_MAX / sizeof(T) - kRowAlignment,
           "a {}x{} array does not fit in memory", rows, cols);
    if (elements == 0) return;
    void* memory = std::aligned_alloc(kRowAlignment, round_up(elements * sizeof(T)));
    if (memory == nullptr) throw std::bad_alloc();
    std::memset(memory, 0, elements * sizeof(T));
    data_.reset(static_cast<T*>(memory));
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }

  std::span<T> row(std::size_t r) {
    ensure(r < rows_, "row {} is outside an array of {} rows", r, rows_);
    return {data_.get() + r * stride_, cols_};
  }
  std::span<const T> row(std::size_t r) const {
    ensure(r < rows_, "row {} is outside an array of {} rows", r, rows_);
    return {data_.get() + r * stride_, cols_};
  }

 private:
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  static std::size_t round_up(std::size_t bytes) {
    return (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  }
  static std::size_t padded(std::size_t cols) {
    constexpr std::size_t per_line = kRowAlignment / sizeof(T);
    static_assert(per_line * sizeof(T) == kRowAlignment, "element size must divide 64");
    ensure(cols <= SIZE_MAX - per_line, "a row of {} entries does not fit in memory", cols);
    return (cols + per_line - 1) / per_line * per_line;
  }

  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::size_t stride_ = 0;
  std::unique_ptr<T[], Free> data_;
};

}  // namespace tolvane
