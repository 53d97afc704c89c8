// The functions each instruction set's units define, one of each kind of KernelSet: the
// partition unit the partitions and the insertion sort, the merge unit the merge.
// kernels.cpp gathers them into the tables; only the units and it include this header.
#pragma once

#include "kernels/kernels.hpp"

namespace vexo::kernel_units {

namespace scalar {
PartitionFn partition;
ShortPartitionFn short_partition;
InsertionSortFn insertion_sort;
MergeFn merge;
}  // namespace scalar

#if VEXO_HAS_VECTOR_KERNELS
namespace avx2 {
PartitionFn partition;
ShortPartitionFn short_partition;
InsertionSortFn insertion_sort;
MergeFn merge;
}  // namespace avx2

namespace avx512 {
PartitionFn partition;
ShortPartitionFn short_partition;
InsertionSortFn insertion_sort;
MergeFn merge;
}  // namespace avx512
#endif

}  // namespace vexo::kernel_units
