// The order in which a vector's lanes are arranged by a comparison mask, which the
// instruction sets' permutation tables are made from (lanes_avx2.hpp, lanes_avx512.hpp).
#pragma once

namespace vexo {

// Calls place(position, lane) for each lane of a vector of `lanes` lanes in the order
// `arrange` puts them: the lanes whose bit of `mask` is set first, in order, then the
// others.
template <unsigned lanes, class Place>
constexpr void for_each_arranged_lane(unsigned mask, Place place) {
    unsigned position = 0;
    for (unsigned pass = 0; pass < 2; ++pass) {
        for (unsigned lane = 0; lane < lanes; ++lane) {
            if (((mask >> lane) & 1U) == (pass == 0 ? 1U : 0U)) place(position++, lane);
        }
    }
}

}  // namespace vexo
