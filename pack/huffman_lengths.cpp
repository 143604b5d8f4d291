// Length-limited canonical Huffman code lengths.
//
// The decoder searches its limits with the lowest peeked bit cleared and caps
// every limit at 0xFFFF; a prefix code with lengths 1..15 (complete or not)
// decodes correctly under both rules, because a code's first L bits decide
// the search and the all-ones pattern, read as 0xFFFE, still lies below the
// capped limit. So the only constraint here is the 15-bit maximum.

#include <algorithm>
#include <vector>

#include "pack/huffman_lengths.h"

namespace {

// Plain Huffman depths for the used symbols (two-queue merge over the
// frequency-sorted leaves); returns the greatest depth.
int huffman_depths(const std::vector<std::pair<uint32_t, int>>& leaves, std::vector<int>& depth) {
  size_t n = leaves.size();
  // Nodes 0..n-1 are leaves (sorted by weight); n.. are internal nodes.
  std::vector<uint64_t> weight(2 * n);
  std::vector<int> parent(2 * n, -1);
  for (size_t i = 0; i < n; i++) weight[i] = leaves[i].first;
  size_t leaf = 0, inner = n, next = n;
  auto take = [&]() -> size_t {
    if (leaf < n && (inner >= next || weight[leaf] <= weight[inner])) return leaf++;
    return inner++;
  };
  while (next < 2 * n - 1) {
    size_t a = take();
    size_t b = take();
    weight[next] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<int>(next);
    next++;
  }
  std::vector<int> d(2 * n, 0);
  int maxd = 0;
  for (size_t i = 2 * n - 2; i-- > 0;) {
    d[i] = d[parent[i]] + 1;
  }
  depth.assign(n, 0);
  for (size_t i = 0; i < n; i++) {
    depth[i] = d[i];
    maxd = std::max(maxd, d[i]);
  }
  return maxd;
}

}  // namespace

void pack_huffman_lengths(const uint32_t* freq, int n, int max_bits, uint8_t* lengths) {
  std::fill(lengths, lengths + n, 0);
  std::vector<std::pair<uint32_t, int>> leaves;
  for (int s = 0; s < n; s++)
    if (freq[s]) leaves.emplace_back(freq[s], s);
  if (leaves.empty()) return;
  if (leaves.size() == 1) {
    lengths[leaves[0].second] = 1;
    return;
  }
  std::vector<int> depth;
  // Flatten the weights until the tree fits: each round halves the spread,
  // and weights of 1 give a balanced tree, which fits for any alphabet here.
  for (;;) {
    std::stable_sort(leaves.begin(), leaves.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (huffman_depths(leaves, depth) <= max_bits) break;
    for (auto& l : leaves) l.first = (l.first >> 1) | 1;
  }
  for (size_t i = 0; i < leaves.size(); i++) lengths[leaves[i].second] = static_cast<uint8_t>(depth[i]);
}
