// Tensor stacking of the flat export: the shape checks and the one buffer
// that holds every selected molecule's values.
#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "crivane/record/flat_gather.hpp"

namespace crivane::storage::soa {
namespace {

constexpr std::string_view kNotBatchable =
    "it cannot be flat-batched/concatenated. Retrieve molecules individually with "
    "get_molecule(s) instead.";

Result<StackedTensor> stack(const SectionSchema& column, const FlatSectionBuffer& buffer,
                            std::span<const std::uint32_t> n_atoms, std::uint64_t total_atoms) {
  const std::string_view key = column.key;
  const auto& cells = buffer.tensors;
  std::vector<std::uint64_t> column_shape;  // per-atom: the suffix
  std::vector<std::size_t> value_offsets(cells.size());
  std::size_t value_bytes = 0;
  for (std::size_t k = 0; k < cells.size(); ++k) {
    if (!cells[k]) return unexpected(missing_tensor_error(key, k));
    const ByteSpan payload = as_span(*cells[k]);
    CRIVANE_ASSIGN_OR_RETURN(const dtypes::TensorPayloadShape header,
                             dtypes::tensor_shape_from_payload(column.type_tag, payload));
    std::span<const std::uint64_t> shape = header.shape;
    if (column.per_atom) {
      const std::uint32_t c = n_atoms[k];
      if (shape.empty()) {
        return unexpected(invalid_atom_tensor_shape_error(key, shape, std::nullopt, c));
      }
      if (shape[0] != c)
        return unexpected(invalid_atom_tensor_shape_error(key, shape, shape[0], c));
      shape = shape.subspan(1);
    }
    if (k == 0) {
      column_shape.assign(shape.begin(), shape.end());
    } else if (!std::equal(shape.begin(), shape.end(), column_shape.begin(), column_shape.end())) {
      return unexpected(Error::decode(
          column.per_atom
              ? fmt::format(
                    "Atom tensor property '{}' has incompatible per-atom tensor suffix shapes {} "
                    "and {}; {}",
                    key, dtypes::format_shape(column_shape), dtypes::format_shape(shape),
                    kNotBatchable)
              : fmt::format("Tensor property '{}' has incompatible shapes {} and {}; {}", key,
                            dtypes::format_shape(column_shape), dtypes::format_shape(shape),
                            kNotBatchable)));
    }
    value_offsets[k] = header.value_offset;
    value_bytes += payload.size() - header.value_offset;
  }

  StackedTensor out;
  CRIVANE_ASSIGN_OR_RETURN(out.values, ColumnBytes::allocate(value_bytes, false));
  std::size_t at = 0;
  for (std::size_t k = 0; k < cells.size(); ++k) {
    const std::size_t len = cells[k]->size() - value_offsets[k];
    if (len != 0) std::memcpy(out.values.data() + at, cells[k]->data() + value_offsets[k], len);
    at += len;
  }
  out.dims.reserve(column_shape.size() + 1);
  out.dims.push_back(column.per_atom ? static_cast<std::size_t>(total_atoms) : cells.size());
  out.dims.insert(out.dims.end(), column_shape.begin(), column_shape.end());
  return out;
}

}  // namespace

Result<StackedTensor> stack_tensor_column(const SectionSchema& column,
                                          const FlatSectionBuffer& buffer,
                                          std::span<const std::uint32_t> n_atoms,
                                          std::uint64_t total_atoms) {
  return catch_allocation_failure([&] { return stack(column, buffer, n_atoms, total_atoms); });
}

Error missing_tensor_error(std::string_view key, std::size_t k) {
  return Error::decode(fmt::format("Tensor property '{}' is missing for selected molecule {}; {}",
                                   key, k, kNotBatchable));
}

Error invalid_atom_tensor_shape_error(std::string_view key, std::span<const std::uint64_t> shape,
                                      std::optional<std::uint64_t> first_dim,
                                      std::uint64_t n_atoms) {
  // A rank-0 tensor has no first dimension; Python's word for nothing shows that.
  const std::string first = first_dim ? fmt::format("{}", *first_dim) : std::string("None");
  return Error::decode(fmt::format(
      "Atom tensor property '{}' has shape {}; first dimension {} does not match atom count {}. "
      "It cannot be flat-batched/concatenated. Retrieve molecules individually with "
      "get_molecule(s) instead.",
      key, dtypes::format_shape(shape), first, n_atoms));
}

}  // namespace crivane::storage::soa
