// minsum/: fixed-point min-sum syndrome decoders. The arithmetic is fixed/minsum_rules.h; here
// are the two schedules, a plain scalar reference that decodes one block and is written for
// clarity, and the batch decoder that decodes one block per SIMD lane with Google Highway and
// refills a lane as soon as its block ends.
//
// The decoders recover x from its syndrome s = H x and the side information y. Bit j starts
// from the channel value +Q (y_j = 0) or -Q (y_j = 1). A check r sends to each of its bits the
// sign s_r XOR the signs of its other incoming messages and the corrected smallest magnitude
// among them (MSG_MAX when the row has no other bit). Flooding: all checks, then all bits,
// whose a-posteriori value is the channel value plus every incoming check message (16-bit) and
// whose outgoing messages are that sum less the check's own message, saturated. Layered: rows
// in file order; each bit's a-posteriori value a_j (8-bit) first loses the row's old message,
// t = sat(a_j - c), the row computes its new messages from the t values, and a_j = sat(t + c).
// After every iteration the decisions (negative a-posteriori value: 1) are tested against the
// syndrome; a block ends as soon as they satisfy it (success) or at the iteration limit.
//
// Identity: every step is an integer rule applied lane by lane, so a block's decisions,
// success flag and iteration count are the same from the reference and from the batch decoder
// on any target, in any lane, whatever the other lanes hold.
//
// Error policy: make_minsum_code() refuses a matrix the decoders cannot serve with one line;
// otherwise broken invariants assert.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fixed/minsum_rules.h"
#include "streams/block_streams.h"

namespace ldpcsw::minsum {

// H for the min-sum decoders: the row-major form (ir, jc) whose edges number the messages,
// and for each column the row-major edges of its ones (col_ptr, col_edge), in row order.
struct MinsumCode {
  int n = 0;
  int m = 0;
  std::vector<int> ir, jc;
  std::vector<int> col_ptr, col_edge;
  int max_row_weight = 0;
  int edges() const { return ir.empty() ? 0 : ir.back(); }
};

// Builds `code` from a row-major H (m rows, pointers ir with ir[0] = 0, 0-based columns jc).
// Refuses, with one line in `error`, a column of weight beyond MAX_COLUMN_WEIGHT.
bool make_minsum_code(int n, int m, const int* ir, const int* jc, MinsumCode& code,
                      std::string& error);

// The scalar reference: decodes one block (y, s: 0/1 bytes) into x_hat, stores the number of
// iterations run, returns true when the decisions satisfy the syndrome.
bool minsum_decode_reference(const MinsumCode& code, const MinsumParams& params,
                             Schedule schedule, const std::int8_t* y, const std::int8_t* s,
                             std::int8_t* x_hat, int* iterations);

// ---- The batch decoder ------------------------------------------------------------------------

// Fills lane `lane` with the next block: its side information y (n bytes 0/1) and syndrome s
// (m bytes 0/1). Returns false when there is no block left (the lane then stays empty).
using MinsumLoad = std::function<bool(int lane, std::int8_t* y, std::int8_t* s)>;
// Receives the result of the block that lane `lane` held.
using MinsumStore =
    std::function<void(int lane, const std::int8_t* x_hat, bool success, int iterations)>;

// The lane arrays of one decoding thread, reused between calls (edge-major, lane-minor). They
// hold nothing between calls, so a copy is simply a fresh workspace.
struct MinsumWorkspace {
  MinsumWorkspace();
  ~MinsumWorkspace();
  MinsumWorkspace(const MinsumWorkspace&);
  MinsumWorkspace& operator=(const MinsumWorkspace&);
  MinsumWorkspace(MinsumWorkspace&&) noexcept;
  MinsumWorkspace& operator=(MinsumWorkspace&&) noexcept;
  struct Arrays;
  std::unique_ptr<Arrays> arrays;
};

// Blocks decoded side by side on the target in use: the lanes of one int8 vector.
int minsum_lanes();

// Decodes blocks until `load` has no more and every lane has ended: lanes are filled in
// order 0, 1, ... at the start, and each lane whose block ends is stored and refilled at once
// (lanes in increasing order after each iteration).
void minsum_decode_stream(const MinsumCode& code, const MinsumParams& params, Schedule schedule,
                          MinsumWorkspace& workspace, const MinsumLoad& load,
                          const MinsumStore& store);

// The sweep's form: a block comes as its source bits x and side information y (n bytes 0/1
// each); false when there is none left.
using MinsumSourceLoad = std::function<bool(int lane, std::int8_t* x, std::int8_t* y)>;
// The outcome of the block lane `lane` held: its wrong decisions, success (the decisions
// satisfy the syndrome) and iterations.
using MinsumOutcome = std::function<void(int lane, int bit_errors, bool success, int iterations)>;

// Where a decoding call's time went, in nanoseconds of the steady clock, phase by phase: what
// the pipeline benchmark reports. Reading the clock around every phase costs a little, so only
// a caller that asks for the split pays it.
struct MinsumSplit {
  double draw = 0;       // drawing blocks: the load callback, or the decoder's own drawing
  double place = 0;      // a block's channel values and source bits into its lane's waiting rows
  double syndrome = 0;   // the waiting blocks' syndromes formed in the lanes
  double refill = 0;     // the waiting blocks moved into their lanes
  double decode = 0;     // the iterations' arithmetic
  double stop_test = 0;  // the decisions tested against the syndromes after each iteration
  double count = 0;      // an ended block's bit errors (or decisions) and the outcome callback
  double total = 0;      // the whole call
};

// As minsum_decode_stream, in the same lane order with the same decisions, for blocks given
// by x and y: the syndromes are formed in the lanes (s = H x for a whole vector of waiting
// blocks at once) and the bit errors counted there, so no block's syndrome or decisions leave
// the lanes. With `split`, the time of each phase is added to it.
void minsum_decode_sources(const MinsumCode& code, const MinsumParams& params, Schedule schedule,
                           MinsumWorkspace& workspace, const MinsumSourceLoad& load,
                           const MinsumOutcome& outcome, MinsumSplit* split = nullptr);

// The sweep's drawn form: the decoder draws the blocks itself, a whole vector of lanes at a
// time, straight into its lanes (each block's bits are those of streams::draw_block under `key`
// and `threshold`, whatever its lane). `source` names the next block to draw (false: none
// left); every block it names is decoded and given to `outcome` under its name. Blocks are
// asked for a vector ahead, so a source that ends early (a stop) still sees those decoded.
using MinsumBlockSource = std::function<bool(std::uint64_t& block)>;
using MinsumBlockOutcome =
    std::function<void(std::uint64_t block, int bit_errors, bool success, int iterations)>;
void minsum_decode_drawn(const MinsumCode& code, const MinsumParams& params, Schedule schedule,
                         MinsumWorkspace& workspace, const streams::PhiloxKey& key,
                         std::uint64_t threshold, const MinsumBlockSource& source,
                         const MinsumBlockOutcome& outcome, MinsumSplit* split = nullptr);

// The drawn form's drawing on the target in use, for checking it against streams::draw_block:
// blocks[0..count) (count <= minsum_lanes()) into byte lanes 0..count-1 of n rows of
// minsum_lanes() bytes each, bits as 0 or -1.
void minsum_draw_block_lanes(const streams::PhiloxKey& key, const std::uint64_t* blocks, int count,
                             std::uint64_t threshold, int n, std::int8_t* x_rows,
                             std::int8_t* y_rows);

// The sweep's blocks first, first + 1, ..., first + count - 1 of the point keyed `key`, one
// after another: block i's source bits at x[i * n], side information at y[i * n] (n bytes 0/1
// each) and syndrome s = H x at s[i * m] (m bytes 0/1, H given row-major: m rows, pointers ir,
// 0-based columns jc). Drawn a vector of lanes at a time, syndromes formed there; the bits are
// those of streams::draw_block.
void minsum_draw_blocks(int n, int m, const int* ir, const int* jc, const streams::PhiloxKey& key,
                        std::uint64_t threshold, std::uint64_t first, std::size_t count,
                        std::uint8_t* x, std::uint8_t* y, std::uint8_t* s);

// ---- Targets ----------------------------------------------------------------------------------

// The Highway targets compiled into this program that this machine runs, widest first.
std::vector<std::int64_t> minsum_available_targets();
// Lower-case name of a target ("avx2", "sse4", "emu128", ...).
std::string minsum_target_name(std::int64_t target);
// The target in use.
std::int64_t minsum_current_target();
// Restricts dispatch to `target` (one of the available ones), or 0 to return to the widest.
// Process-wide: call it before decoding threads start.
void minsum_force_target(std::int64_t target);
// Forces the target named by `name` ("" or "best": the widest). Returns false and an error
// listing the available names when no such target is available.
bool minsum_force_target_by_name(const std::string& name, std::string& error);

}  // namespace ldpcsw::minsum
