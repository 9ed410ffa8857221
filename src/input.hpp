// The slip model (segments diced into equal subfaults, in the row order of the .stoch format) and
// the velocity-model rules: the cut at the Moho and the air layer on top.
//
// Grid cell (i, j), counted from 1 along strike (column) and down dip (row), is stored at flat
// index (j - 1) * along_strike_count + (i - 1): rows run down dip, row 1 at the top edge.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "state.hpp"

namespace tolvane::input {

struct Slip {
  float cm;
};

struct Subfault {
  Slip slip;
  float rise_time_s;
  float rupture_time_s;
  float stress_drop_bars;  // positive and finite in every segment built from Python
};

// A 1-based (along strike, down dip) grid position.
struct GridCell {
  std::size_t i;
  std::size_t j;
  friend bool operator==(const GridCell&, const GridCell&) = default;
};

// Walks a grid of `columns` x `rows` cells, with i or j in the outer loop.
class GridWalk {
 public:
  class Iterator {
   public:
    using value_type = GridCell;
    using difference_type = std::ptrdiff_t;
    GridCell operator*() const;
    Iterator& operator++() {
      ++position_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++position_;
      return before;
    }
    friend bool operator==(const Iterator&, const Iterator&) = default;

   private:
    friend class GridWalk;
    Iterator(const GridWalk* walk, std::size_t position) : walk_(walk), position_(position) {}
    const GridWalk* walk_ = nullptr;
    std::size_t position_ = 0;
  };

  GridWalk(std::size_t columns, std::size_t rows, bool strike_outer)
      : columns_(columns), rows_(rows), strike_outer_(strike_outer) {}
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, columns_ * rows_); }

 private:
  std::size_t columns_;
  std::size_t rows_;
  bool strike_outer_;
};

// Consecutive rows of `width` subfaults, shallowest first.
class RowWalk {
 public:
  class Iterator {
   public:
    using value_type = std::span<const Subfault>;
    using difference_type = std::ptrdiff_t;
    std::span<const Subfault> operator*() const { return cells_.subspan(position_, width_); }
    Iterator& operator++() {
      position_ += width_;
      return *this;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.position_ == b.position_;
    }

   private:
    friend class RowWalk;
    Iterator(std::span<const Subfault> cells, std::size_t width, std::size_t position)
        : cells_(cells), width_(width), position_(position) {}
    std::span<const Subfault> cells_;
    std::size_t width_;
    std::size_t position_;
  };

  RowWalk(std::span<const Subfault> cells, std::size_t width) : cells_(cells), width_(width) {}
  Iterator begin() const { return Iterator(cells_, width_, 0); }
  Iterator end() const {
    return Iterator(cells_, width_, width_ == 0 ? 0 : cells_.size() / width_ * width_);
  }

 private:
  std::span<const Subfault> cells_;
  std::size_t width_;
};

struct SegmentBuilder;

// One planar fault segment. Built through SegmentBuilder; read only afterwards.
struct Segment {
  float fault_lon_deg;  // reference point (middle of the top edge), degrees
  float fault_lat_deg;
  std::size_t along_strike_count;  // grid columns
  std::size_t down_dip_count;      // grid rows
  float subfault_length_km;
  float subfault_width_km;
  float strike_deg;
  float dip_deg;
  float rake_deg;
  float top_depth_km;
  float hypocentre_along_strike_km;
  float hypocentre_down_dip_km;
  float
      along_strike_offset_km;  // half the segment's length: positions are measured from its middle
  std::vector<Subfault> subfaults;

  std::size_t subfault_total() const { return subfaults.size(); }
  std::size_t grid_index(std::size_t i, std::size_t j) const;
  Subfault at(std::size_t i, std::size_t j) const;
  RowWalk depth_rows() const { return RowWalk(subfaults, along_strike_count); }
  // (1,1), (1,2), ..., (1,down_dip_count), (2,1), ...: along strike outer.
  GridWalk strike_major() const { return GridWalk(along_strike_count, down_dip_count, true); }
  // (1,1), (2,1), ..., (along_strike_count,1), (1,2), ...: down dip outer.
  GridWalk depth_major() const { return GridWalk(along_strike_count, down_dip_count, false); }

 private:
  friend struct SegmentBuilder;
  Segment() = default;
};

// The thirteen named inputs of a segment; every field must be given.
struct SegmentBuilder {
  float fault_lon_deg;
  float fault_lat_deg;
  std::size_t along_strike_count;
  std::size_t down_dip_count;
  float subfault_length_km;
  float subfault_width_km;
  float strike_deg;
  float dip_deg;
  float rake_deg;
  float top_depth_km;
  float hypocentre_along_strike_km;
  float hypocentre_down_dip_km;
  std::vector<Subfault> subfaults;

  Segment build() &&;
};

// The whole slip model with its summary values.
struct StochModel {
  std::vector<Segment> segments;
  std::size_t subfault_count = 0;
  float fault_area_km2 = 0.0f;
  float max_hypocentre_depth_km = 0.0f;  // deepest hypocentre of any segment, never below 0

  // Takes the segments (at least one) and computes the summary values.
  explicit StochModel(std::vector<Segment> segments);
};

// Why a layer list cannot become a velocity model.
class ModelError {
 public:
  struct NoLayers {};
  struct MohoAtFirstLayer {
    double vs_moho_km_s;
  };
  using Variant = std::variant<NoLayers, MohoAtFirstLayer>;

  explicit ModelError(Variant detail) : detail_(detail) {}
  const Variant& detail() const { return detail_; }
  std::string message() const;

 private:
  Variant detail_;
};

// Accumulates base depths and cuts the model at the first layer whose SH velocity reaches
// vs_moho_km_s (that layer becomes the half-space). The input's depth_km is ignored.
std::variant<std::vector<state::InputLayer>, ModelError> build_velocity_model(
    std::span<const state::InputLayer> layers, double vs_moho_km_s);

// Puts a thin, slow air layer on top when the first layer is thicker than 1 m and not itself air.
std::vector<state::InputLayer> insert_air_layer(std::vector<state::InputLayer> layers);

}  // namespace tolvane::input
