// Layouts of data sets: what their main arrays are made of.
#include "layout.hpp"

#include <algorithm>

namespace ixar {

const char* familyName(Family f) noexcept {
    switch (f) {
        case Family::Single: return "single";
        case Family::Image: return "image";
        case Family::ImageTraces: return "image-traces";
        case Family::TimeResolved: return "time-resolved";
        case Family::TimeResolvedTraces: return "time-resolved-traces";
        case Family::MultiRegion: return "multi-region";
        case Family::MultiRegionTraces: return "multi-region-traces";
    }
    return "single";
}

Layout layoutOf(const Plan& plan) {
    Layout l;
    l.family = plan.family;
    l.npt = plan.npt;
    l.offsetToData = plan.offsetToData;
    l.infoSize = plan.infoSize;
    l.shape = plan.arrays.empty() ? std::vector<int64_t>{} : plan.arrays[0].shape;
    const bool regions = l.family == Family::MultiRegion || l.family == Family::MultiRegionTraces;
    if (!regions) {
        if (l.family == Family::Single || l.family == Family::Image || l.family == Family::TimeResolved) {
            const int64_t cells = l.family == Family::Image ? l.shape[0] * l.shape[1] : int64_t(plan.rows.size());
            l.records.assign(static_cast<size_t>(cells), -1);
            for (const RowRead& r : plan.rows) l.records.at(static_cast<size_t>(r.id)) = r.offset;
        } else {
            l.records.assign(plan.traces.begin(), plan.traces.end());
        }
        return l;
    }

    // Points region after region; each region's arrays know its first point.
    std::vector<int64_t> base(plan.arrays.size(), -1);
    int64_t points = 0;
    for (const RegionPlan& r : plan.regions) {
        base.at(r.spectra) = points;
        points += r.points;
    }
    l.regions = plan.regions;
    const auto traces = static_cast<int64_t>(plan.traces.size());
    l.shape = {points, l.family == Family::MultiRegion ? plan.npt : traces};
    if (l.family == Family::MultiRegion) {
        l.records.assign(static_cast<size_t>(points), -1);
        for (const RowRead& r : plan.rows) l.records.at(static_cast<size_t>(base.at(r.array) + r.id)) = r.offset;
    } else {
        l.records.assign(plan.traces.begin(), plan.traces.end());
        l.columns.assign(static_cast<size_t>(points), 0);
        for (const Scatter& s : plan.scatter)
            l.columns.at(static_cast<size_t>(base.at(s.array) + s.element / std::max<int64_t>(traces, 1))) = s.column;
    }
    l.pointXY.assign(static_cast<size_t>(2 * points), 0.0);
    int64_t first = 0;
    for (const RegionPlan& r : plan.regions) {
        for (int64_t n = 0; n < 2 * r.placed; ++n)
            l.pointXY.at(static_cast<size_t>(2 * first + n)) = plan.coordinateValues.at(static_cast<size_t>(r.values + n));
        for (const TextCoordinate& t : plan.textCoordinates)
            if (t.array == r.mapX || t.array == r.mapY) l.texts.push_back({first + t.element, t.array == r.mapY, t.text});
        first += r.points;
    }
    return l;
}

}  // namespace ixar
