// The closed seam path: the lane-parallel programme must pick exactly what
// running every start row one after another picks, ties included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "stitch/prepare.hpp"

namespace stitch {
namespace {

// Straight transcription of the sequential programme: one start row at a
// time, two relaxation sweeps per column, strict comparisons.
SeamPath reference_path(const std::vector<float>& node, std::uint32_t rows, std::uint32_t columns,
                        float lambda) {
  const float inf = std::numeric_limits<float>::infinity();
  auto cost = [&](std::uint32_t i, std::uint32_t r) { return node[std::size_t{i} * rows + r]; };
  float best = inf;
  std::uint32_t best_s = 0;
  std::uint32_t best_e = 0;
  for (std::uint32_t s = 0; s < rows; ++s) {
    std::vector<float> d(rows, inf);
    d[s] = cost(0, s);
    for (std::uint32_t i = 1; i < columns; ++i) {
      std::vector<float> t = d;
      for (std::uint32_t r = 1; r < rows; ++r) {
        if (t[r - 1] + lambda < t[r]) t[r] = t[r - 1] + lambda;
      }
      for (int r = static_cast<int>(rows) - 2; r >= 0; --r) {
        if (t[r + 1] + lambda < t[r]) t[r] = t[r + 1] + lambda;
      }
      for (std::uint32_t r = 0; r < rows; ++r) d[r] = t[r] + cost(i, r);
    }
    for (std::uint32_t e = 0; e < rows; ++e) {
      const float closing = d[e] + lambda * static_cast<float>(e > s ? e - s : s - e);
      if (closing < best) {
        best = closing;
        best_s = s;
        best_e = e;
      }
    }
  }
  std::vector<float> d(rows, inf);
  d[best_s] = cost(0, best_s);
  std::vector<std::vector<std::uint32_t>> pred(columns, std::vector<std::uint32_t>(rows));
  for (std::uint32_t i = 1; i < columns; ++i) {
    std::vector<float> t = d;
    for (std::uint32_t r = 0; r < rows; ++r) pred[i][r] = r;
    for (std::uint32_t r = 1; r < rows; ++r) {
      if (t[r - 1] + lambda < t[r]) {
        t[r] = t[r - 1] + lambda;
        pred[i][r] = pred[i][r - 1];
      }
    }
    for (int r = static_cast<int>(rows) - 2; r >= 0; --r) {
      if (t[r + 1] + lambda < t[r]) {
        t[r] = t[r + 1] + lambda;
        pred[i][r] = pred[i][r + 1];
      }
    }
    for (std::uint32_t r = 0; r < rows; ++r) d[r] = t[r] + cost(i, r);
  }
  SeamPath path;
  path.start_row = best_s;
  path.end_row = best_e;
  path.cost = best;
  path.rows.assign(columns, 0);
  path.rows[columns - 1] = best_e;
  for (std::uint32_t i = columns - 1; i > 0; --i) path.rows[i - 1] = pred[i][path.rows[i]];
  return path;
}

struct GridCase {
  std::uint32_t rows;
  std::uint32_t columns;
  float lambda;
  int levels;  // distinct cost values; few levels make ties common
  float penalty_share;  // share of cells carrying a large window-like penalty
};

class SeamPathTest : public ::testing::TestWithParam<GridCase> {};

TEST_P(SeamPathTest, LaneParallelEqualsSequentialOnRandomGrids) {
  const GridCase g = GetParam();
  std::mt19937 rng(1234u + g.rows * 7u + g.columns);
  std::uniform_int_distribution<int> level(0, g.levels - 1);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int trial = 0; trial < 6; ++trial) {
    std::vector<float> node(std::size_t{g.rows} * g.columns);
    for (float& c : node) {
      c = 0.25f * static_cast<float>(level(rng));
      if (unit(rng) < g.penalty_share) c += 1000.0f;
    }
    const SeamPath fast = closed_seam_path(node, g.rows, g.columns, g.lambda);
    const SeamPath slow = reference_path(node, g.rows, g.columns, g.lambda);
    ASSERT_EQ(fast.start_row, slow.start_row) << "trial " << trial;
    ASSERT_EQ(fast.end_row, slow.end_row) << "trial " << trial;
    ASSERT_EQ(fast.cost, slow.cost) << "trial " << trial;
    ASSERT_EQ(fast.rows, slow.rows) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(Grids, SeamPathTest,
                         ::testing::Values(GridCase{1, 5, 0.004f, 3, 0.0f},
                                           GridCase{3, 1, 0.004f, 2, 0.0f},
                                           GridCase{7, 40, 0.015f, 2, 0.1f},
                                           GridCase{65, 96, 0.015f, 3, 0.05f},
                                           GridCase{129, 64, 0.004f, 4, 0.2f},
                                           GridCase{129, 128, 0.004f, 1000, 0.0f},
                                           GridCase{17, 33, 0.25f, 2, 0.0f}));

TEST(SeamPath, UniformCostsKeepTheFirstStartRowAndStayFlat) {
  // Every path of constant row costs the same; the first start row and the
  // first end row win and nothing moves.
  const std::vector<float> node(9 * 12, 1.0f);
  const SeamPath path = closed_seam_path(node, 9, 12, 0.004f);
  EXPECT_EQ(path.start_row, 0u);
  EXPECT_EQ(path.end_row, 0u);
  EXPECT_EQ(path.rows, std::vector<std::uint32_t>(12, 0u));
}

TEST(SeamPath, FollowsACheapValleyAroundTheCircle) {
  const std::uint32_t rows = 11;
  const std::uint32_t columns = 30;
  std::vector<float> node(std::size_t{rows} * columns, 1.0f);
  std::vector<std::uint32_t> valley(columns);
  for (std::uint32_t i = 0; i < columns; ++i) {
    valley[i] = i < 15 ? 3 : 7;
    node[std::size_t{i} * rows + valley[i]] = 0.0f;
  }
  const SeamPath path = closed_seam_path(node, rows, columns, 0.01f);
  EXPECT_EQ(path.rows, valley);
  EXPECT_EQ(path.start_row, 3u);
  EXPECT_EQ(path.end_row, 7u);
}

TEST(SeamPath, DegenerateInputsGiveAPathOfTheRightLength) {
  EXPECT_EQ(closed_seam_path({}, 0, 5, 0.004f).rows.size(), 5u);
  const std::vector<float> short_costs(3, 0.0f);
  EXPECT_EQ(closed_seam_path(short_costs, 4, 4, 0.004f).rows.size(), 4u);
  EXPECT_TRUE(closed_seam_path({}, 4, 0, 0.004f).rows.empty());
}

}  // namespace
}  // namespace stitch
