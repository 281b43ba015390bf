// A first look at the engine: build a molecule in memory.
#include <cstdio>

#include "crivane/atom.hpp"

int main() {
  auto water = crivane::atom::Molecule::create({{0.0f, 0.0f, 0.119f}, {0.0f, 0.763f, -0.477f}, {0.0f, -0.763f, -0.477f}},
                                               {8, 1, 1});
  if (!water) {
    std::fprintf(stderr, "%s\n", water.error().c_str());
    return 1;
  }
  water->energy = crivane::types::FloatScalarData(-76.4);
  std::printf("built a molecule of %zu atoms\n", water->n_atoms());
  return 0;
}
