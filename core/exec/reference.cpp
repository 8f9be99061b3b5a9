// The reference executor: a plan's reads one at a time, in the data set's
// order, as a reader that walks the file record by record would do them.
#include <cerrno>
#include <cstring>
#include <vector>

#include "container/text.hpp"
#include "destinations.hpp"
#include "execute.hpp"

namespace ixar {

namespace {

// Up to n bytes at offset, as many as the file holds there.
std::vector<unsigned char> bytesAt(const File& file, int64_t offset, size_t n) {
    std::vector<unsigned char> out(n);
    out.resize(n ? file.readAt(offset, out.data(), n) : 0);
    return out;
}

void coordinates(const Plan& plan, const Arrays& arrays) {
    for (const RegionPlan& r : plan.regions)
        for (int64_t n = 0; n < r.placed; ++n) {
            const double x = plan.coordinateValues.at(static_cast<size_t>(r.values + 2 * n));
            const double y = plan.coordinateValues.at(static_cast<size_t>(r.values + 2 * n + 1));
            *arrays.at<double>(r.mapX, n, 1) = x;
            *arrays.at<double>(r.mapY, n, 1) = y;
        }
}

void traces(const File& file, const Plan& plan, const Arrays& arrays, std::vector<std::string>& labels) {
    const int64_t count = static_cast<int64_t>(plan.traces.size());
    const size_t bytes = static_cast<size_t>(plan.npt) * 4;
    std::vector<float*> points;
    for (const Scatter& s : plan.scatter) {
        if (s.column < 0 || s.column >= plan.npt) throw std::logic_error("a point takes no column of the traces");
        points.push_back(arrays.at<float>(s.array, s.element, count));
    }
    float* rows = plan.traceRows >= 0 ? arrays.at<float>(static_cast<uint32_t>(plan.traceRows), 0, count * plan.npt)
                                      : nullptr;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t offset = plan.traces[static_cast<size_t>(i)];
        if (offset < 0) throwOs(EINVAL);  // the seek to it fails, whatever it holds
        const std::vector<unsigned char> raw = bytesAt(file, offset, bytes);
        if (raw.size() < bytes) throwShortTrace(plan, i, raw.size());
        if (rows)
            for (int64_t j = 0; j < plan.npt; ++j) rows[i * plan.npt + j] = loadLEFloat(raw.data() + 4 * j);
        for (size_t k = 0; k < points.size(); ++k) points[k][i] = loadLEFloat(raw.data() + 4 * plan.scatter[k].column);
        if (plan.infoSize >= kLabelAt) {
            const size_t len = static_cast<size_t>(labelBytes(plan.infoSize, file.size()));
            const int64_t at = advance(offset, static_cast<int64_t>(bytes) + kLabelAt);
            const std::vector<unsigned char> label = bytesAt(file, at, len);
            labels.push_back(requireAscii(
                cutAtNul(std::string_view(reinterpret_cast<const char*>(label.data()), label.size()))));
        }
    }
}

void rows(const File& file, const Plan& plan, const Arrays& arrays, ReadFailures& failures) {
    const size_t bytes = static_cast<size_t>(plan.npt) * 4;
    for (const RowRead& r : plan.rows) {
        if (r.offset < 0) throwOs(EINVAL);
        if (bytes) {
            const std::vector<unsigned char> raw = bytesAt(file, r.offset, bytes);
            if (raw.size() < bytes) throwShortRecord(plan, r.id, r.offset, raw.size(), r.element, file.size());
            float* out = arrays.at<float>(r.array, r.element, plan.npt);
            for (int64_t j = 0; j < plan.npt; ++j) out[j] = loadLEFloat(raw.data() + 4 * j);
        }
        if (r.timeArray >= 0) {
            const int64_t at = advance(r.offset, static_cast<int64_t>(bytes) + kTimeAt);
            const std::vector<unsigned char> raw = bytesAt(file, at, 8);
            double* out = arrays.at<double>(static_cast<uint32_t>(r.timeArray), r.id, 1);
            *out = raw.size() == 8 ? loadLEDouble(raw.data()) : 0.0;
            if (raw.size() < 8) failures.push_back({Primitive::Double, static_cast<int>(raw.size()), at});
        }
    }
}

void picks(const Plan& plan, const Arrays& arrays) {
    for (int64_t i = 0; i < plan.pickRows; ++i)
        for (size_t j = 0; j < plan.picks.size(); ++j) {
            const int64_t to = i * plan.pickRowStride + static_cast<int64_t>(j) * plan.pickColumnStride;
            const int64_t from = i * plan.stagingRow + plan.picks[j];
            if (plan.picks[j] < 0 || plan.picks[j] >= plan.stagingRow) throw std::logic_error("a pick outside its row");
            *arrays.at<float>(0, to, 1) = *arrays.at<float>(1, from, 1);
        }
}

}  // namespace

void executeReference(const File& file, const Plan& plan, std::span<const std::span<unsigned char>> spans,
                      std::vector<std::string>& labels, ReadFailures& failures) {
    if (plan.npt < 0) throw std::logic_error("a plan with a negative number of values");
    const Arrays arrays(plan, spans);
    coordinates(plan, arrays);
    if (!plan.traces.empty()) traces(file, plan, arrays, labels);
    if (!plan.rows.empty()) rows(file, plan, arrays, failures);
    picks(plan, arrays);
    if (plan.failure) throw *plan.failure;
}

}  // namespace ixar
