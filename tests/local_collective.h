// Several simulated sweep processes in one test: each rank runs on its own thread, and sum()
// exchanges the ranks' buffers through shared memory between barriers, as MPI_Allreduce would.
#pragma once

#include <algorithm>
#include <barrier>
#include <cstdint>
#include <vector>

#include "sweep/engine.h"

namespace ldpcsw::test {

struct LocalGroup {
  explicit LocalGroup(int size) : size(size), barrier(size), buffers(size) {}
  int size;
  std::barrier<> barrier;
  std::vector<std::int64_t*> buffers;
  std::vector<std::int64_t> total;
};

class LocalRank final : public sweep::Collective {
 public:
  LocalRank(LocalGroup& g, int rank) : g_(g), rank_(rank) {}
  int rank() const override { return rank_; }
  int size() const override { return g_.size; }
  void sum(std::int64_t* values, std::int64_t count) override {
    g_.buffers[rank_] = values;
    g_.barrier.arrive_and_wait();
    if (rank_ == 0) {
      g_.total.assign(static_cast<std::size_t>(count), 0);
      for (std::int64_t* b : g_.buffers)
        for (std::int64_t i = 0; i < count; ++i) g_.total[i] += b[i];
    }
    g_.barrier.arrive_and_wait();
    std::copy(g_.total.begin(), g_.total.end(), values);
    g_.barrier.arrive_and_wait();
  }

 private:
  LocalGroup& g_;
  int rank_;
};

}  // namespace ldpcsw::test
