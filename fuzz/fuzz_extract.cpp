// Every extraction step over arbitrary bytes: parameter blocks, store
// tables, offset maps, annotation tables and the bulk reads into bounded
// buffers, at every offset the directory names.
#include <algorithm>
#include <vector>

#include "container/annotations.hpp"
#include "container/directory.hpp"
#include "container/params.hpp"
#include "container/store3d.hpp"
#include "extract/bulk.hpp"
#include "memfile.hpp"

namespace {

// Sizes for the bulk reads: taken from the block's parameters as the module
// does, but bounded so the buffers stay small.
struct Sizes {
    int64_t npt = 4, npx = 2, npy = 2;
};

int64_t intParam(const ixar::ParamList& p, const char* name, int64_t fallback) {
    const ixar::ParamValue* v = ixar::findParam(p, name);
    return v && v->kind == ixar::ParamValue::Kind::Int ? v->i : fallback;
}

template <class Fn>
void guarded(Fn&& fn) {
    try {
        fn();
    } catch (const ixar::Error&) {
    }
}

void extractAt(const ixar::File& file, int64_t dataAt, const Sizes& s) {
    ixar::ReadFailures failures;
    const int64_t limit = file.size();
    // Same limits the module applies before allocating.
    if (s.npt < 0 || s.npt > limit / 4 || s.npx < 0 || s.npy < 0 || s.npx > limit || s.npy > limit) return;
    if (s.npx * s.npy > (1 << 16) || s.npt * std::max<int64_t>(1, s.npx * s.npy) > (1 << 20)) return;

    guarded([&] {
        std::vector<float> y(static_cast<size_t>(s.npt));
        ixar::readSpectrum(file, dataAt, s.npt, y.data());
    });
    guarded([&] {
        ixar::StoreTable t = ixar::readStoreTable(file, dataAt, failures);
        (void)ixar::readInfoSize(file, dataAt, failures);
        std::vector<float> cube(static_cast<size_t>(s.npy * s.npx * s.npt));
        (void)ixar::fillImageCube(file, t, dataAt, s.npt, s.npx, s.npy, cube.data());
        if (t.records <= 4096 && s.npt == s.npx * s.npy) {
            std::vector<float> traces(static_cast<size_t>(s.npt * t.records));
            std::vector<std::string> labels;
            (void)ixar::fillImageTraces(file, t, dataAt, s.npt, s.npx, s.npy, traces.data(), labels);
        }
        ixar::OffsetMap map = ixar::buildOffsetMap(t);
        for (size_t i = 0; i < map.size(); ++i)
            if (map.find(map.index[i]) < 0) __builtin_trap();  // every index it holds is found
        (void)map.find(-1);
        if (map.size() * static_cast<size_t>(std::max<int64_t>(s.npt, 1)) <= (1 << 20)) {
            std::vector<float> rows(map.size() * static_cast<size_t>(s.npt));
            std::vector<double> times(map.size());
            guarded([&] { ixar::readRecords(file, dataAt, map.offset, s.npt, rows.data(), times.data(), failures); });
            std::vector<std::string> labels;
            guarded([&] { ixar::readTraces(file, dataAt, map.offset, s.npt, t.infoSize, rows.data(), labels); });
            // Trace values spread over a few points, each taking one column.
            if (s.npt > 0) {
                const size_t points = 16;
                std::vector<float> spread(points * map.size());
                std::vector<ixar::TraceTarget> targets;
                for (size_t p = 0; p < points; ++p)
                    targets.push_back({spread.data() + p * map.size(), (p * 7) % static_cast<size_t>(s.npt)});
                labels.clear();
                guarded([&] { ixar::readTracesScattered(file, dataAt, map.offset, s.npt, t.infoSize, targets, labels); });
            }
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemFile mem(data, size);
    if (mem.fd() < 0) return 0;
    try {
        ixar::File file(mem.fd());
        ixar::ReadFailures failures;
        std::vector<ixar::DirEntry> directory = ixar::readDirectory(file, failures);
        if (directory.size() > 64) directory.resize(64);
        Sizes sizes;
        for (const ixar::DirEntry& e : directory) {
            guarded([&] {
                ixar::ParamList p = ixar::readParams(file, e.byteOffset, failures);
                sizes = {intParam(p, "NPT", sizes.npt), intParam(p, "NPX", sizes.npx), intParam(p, "NPY", sizes.npy)};
            });
            guarded([&] { (void)ixar::readAnnotations(file, e.byteOffset, failures); });
        }
        for (const ixar::DirEntry& e : directory) extractAt(file, e.byteOffset, sizes);
    } catch (const ixar::Error&) {
    }
    return 0;
}
