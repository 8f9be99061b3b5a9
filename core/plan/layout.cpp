// Layouts of data sets: what their main arrays are made of, and the plan
// that reads all of one.
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

namespace {

// What a plan and a layout both hold, from one to the other.
template <class From, class To>
void copyCommon(const From& from, To& to) {
    to.family = from.family;
    to.npt = from.npt;
    to.offsetToData = from.offsetToData;
    to.infoSize = from.infoSize;
    to.arrays = from.arrays;
    to.mapValues = from.mapValues;
    to.failure = from.failure;
    to.failureStep = from.failureStep;
}

}  // namespace

Layout layoutOf(const Plan& plan) {
    Layout l;
    copyCommon(plan, l);
    l.shape = plan.arrays.empty() ? std::vector<int64_t>{} : plan.arrays[0].shape;
    const bool regions = l.family == Family::MultiRegion || l.family == Family::MultiRegionTraces;
    if (!regions) {
        if (l.family == Family::Single || l.family == Family::Image || l.family == Family::TimeResolved) {
            const int64_t cells = l.family == Family::Image ? l.shape[0] * l.shape[1] : int64_t(plan.rows.size());
            l.records.assign(static_cast<size_t>(cells), kNoRecord);
            for (const RowRead& r : plan.rows) l.records.at(static_cast<size_t>(r.id)) = r.offset;
        } else {
            l.records.assign(plan.traces.begin(), plan.traces.end());
        }
        return l;
    }

    // Points region after region; each region's arrays know its first
    // point. Only the points placed have records, columns and coordinates:
    // where a data set fails, its regions may claim more than memory holds.
    std::vector<int64_t> base(plan.arrays.size(), -1);
    std::vector<bool> isY(plan.arrays.size());
    int64_t points = 0, placed = 0;
    for (const RegionPlan& r : plan.regions) {
        base.at(r.spectra) = base.at(r.mapX) = base.at(r.mapY) = points;
        isY.at(r.mapY) = true;
        points += r.points;
        placed += r.placed;
    }
    l.regions = plan.regions;
    const auto traces = static_cast<int64_t>(plan.traces.size());
    l.shape = {points, l.family == Family::MultiRegion ? plan.npt : traces};
    if (l.family == Family::MultiRegion) {
        l.records.assign(static_cast<size_t>(placed), kNoRecord);
        for (const RowRead& r : plan.rows) l.records.at(static_cast<size_t>(base.at(r.array) + r.id)) = r.offset;
    } else {
        l.records.assign(plan.traces.begin(), plan.traces.end());
        l.columns.assign(static_cast<size_t>(placed), -1);
        for (const Scatter& s : plan.scatter)
            l.columns.at(static_cast<size_t>(base.at(s.array) + s.element / std::max<int64_t>(traces, 1))) = s.column;
    }
    l.pointXY.assign(plan.coordinateValues.begin(), plan.coordinateValues.end());  // x, y of each point placed
    for (const TextCoordinate& t : plan.textCoordinates)
        l.texts.push_back({base.at(t.array) + t.element, isY.at(t.array), t.text});
    return l;
}

Plan planRead(const Layout& l) {
    Plan plan;
    copyCommon(l, plan);
    const auto records = static_cast<int64_t>(l.records.size());
    switch (l.family) {
        case Family::Single:
        case Family::Image:
        case Family::TimeResolved: {
            // Record k fills row k of the main array; a series' time goes to element k of array 1.
            const int32_t time = l.family == Family::TimeResolved ? 1 : -1;
            plan.rows.reserve(static_cast<size_t>(records));
            for (int64_t k = 0; k < records; ++k)
                if (const int64_t at = l.records[static_cast<size_t>(k)]; at != kNoRecord)
                    plan.rows.push_back({at, k * l.npt, k, 0, 0, time});
            return plan;
        }
        case Family::ImageTraces:
            // Trace i is a map: its value c goes to cell c, element i of the cell's values.
            plan.traces.assign(l.records.begin(), l.records.end());
            if (!plan.arrays.empty())
                for (int64_t c = 0; c < l.mapValues; ++c) plan.scatter.push_back({0, c * plan.arrays[0].shape[2], c});
            return plan;
        case Family::TimeResolvedTraces:
            plan.traces.assign(l.records.begin(), l.records.end());
            plan.traceRows = 0;
            return plan;
        case Family::MultiRegion:
        case Family::MultiRegionTraces:
            break;
    }
    // Multi-region maps: points region after region, each with its x and y,
    // its record (spectra) or its column of every trace (traces).
    const bool traces = l.family == Family::MultiRegionTraces;
    const int64_t width = traces ? records : l.npt;
    if (traces) plan.traces.assign(l.records.begin(), l.records.end());
    plan.regions = l.regions;
    size_t placed = 0;
    for (const RegionPlan& r : l.regions) placed += static_cast<size_t>(r.placed);
    plan.coordinateValues.reserve(2 * placed);
    if (traces)
        plan.scatter.reserve(placed);
    else
        plan.rows.reserve(placed);
    int64_t first = 0;
    size_t text = 0;
    for (const RegionPlan& r : l.regions) {
        // A point's x may be a text where reading its y fails: the point
        // after the last one placed.
        for (; text < l.texts.size() && l.texts[text].point < first + r.points; ++text) {
            const int64_t n = l.texts[text].point - first;
            plan.textCoordinates.push_back({l.texts[text].y ? r.mapY : r.mapX, n, l.texts[text].text, r.firstStep + n});
        }
        for (int64_t n = 0; n < r.placed; ++n) {
            const auto point = static_cast<size_t>(first + n);
            const int64_t step = r.firstStep + n;
            plan.coordinateValues.push_back(l.pointXY.at(2 * point));
            plan.coordinateValues.push_back(l.pointXY.at(2 * point + 1));
            if (traces && l.columns.at(point) >= 0)
                plan.scatter.push_back({r.spectra, n * width, l.columns[point], step});
            else if (!traces && l.records.at(point) != kNoRecord)
                plan.rows.push_back({l.records[point], n * width, n, step, r.spectra, r.startTime});
        }
        first += r.points;
    }
    return plan;
}

}  // namespace ixar
