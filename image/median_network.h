// median_network.h - the median of nine values by a fixed min/max network.
//
// The nine values are taken as three triples. Each triple is sorted (three
// compare-exchanges); the median of all nine is then the median of the
// largest of the three minima, the median of the three middles and the
// smallest of the three maxima. The network has no data-dependent branch,
// so it costs the same on noisy pictures as on flat ones, and it runs
// unchanged on vector registers, one sample per lane.
//
// Ops supplies the value type V and min/max for it. Which value sits in
// which triple does not matter: the median is a symmetric function.
#ifndef TARVOCOIL_IMAGE_MEDIAN_NETWORK_H
#define TARVOCOIL_IMAGE_MEDIAN_NETWORK_H

#include <cstdint>

namespace tarvocoil {

// The smallest, middle and largest of three values.
template <class Ops>
struct SortedTriple {
    typename Ops::V lo, mid, hi;
};

template <class Ops>
inline SortedTriple<Ops> SortTriple(typename Ops::V a, typename Ops::V b, typename Ops::V c) {
    const typename Ops::V t = Ops::min(a, b);
    const typename Ops::V u = Ops::max(a, b);
    const typename Ops::V v = Ops::min(u, c);
    SortedTriple<Ops> s;
    s.hi = Ops::max(u, c);
    s.lo = Ops::min(t, v);
    s.mid = Ops::max(t, v);
    return s;
}

template <class Ops>
inline typename Ops::V MedianOfThree(typename Ops::V a, typename Ops::V b, typename Ops::V c) {
    return Ops::max(Ops::min(a, b), Ops::min(Ops::max(a, b), c));
}

// The median of the nine values of three sorted triples.
template <class Ops>
inline typename Ops::V MedianOfTriples(const SortedTriple<Ops>& x, const SortedTriple<Ops>& y,
                                       const SortedTriple<Ops>& z) {
    const typename Ops::V lo = Ops::max(Ops::max(x.lo, y.lo), z.lo);
    const typename Ops::V hi = Ops::min(Ops::min(x.hi, y.hi), z.hi);
    const typename Ops::V mid = MedianOfThree<Ops>(x.mid, y.mid, z.mid);
    return MedianOfThree<Ops>(lo, mid, hi);
}

// Plain integers; compilers turn the conditionals into conditional moves.
struct ScalarMinMax {
    using V = uint32_t;
    static V min(V a, V b) { return a < b ? a : b; }
    static V max(V a, V b) { return a < b ? b : a; }
};

// The fifth smallest of nine values, as the reference bubble sort gives it.
inline uint32_t MedianOfNineNetwork(const uint32_t v[9]) {
    return MedianOfTriples<ScalarMinMax>(SortTriple<ScalarMinMax>(v[0], v[1], v[2]),
                                         SortTriple<ScalarMinMax>(v[3], v[4], v[5]),
                                         SortTriple<ScalarMinMax>(v[6], v[7], v[8]));
}

}  // namespace tarvocoil

#endif
