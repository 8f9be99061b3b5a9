// ixar-digest: the core alone, with no interpreter, on the files named on its
// command line. For each file, one line per data set of its listing:
//
//     NAME<TAB>TYPE DIM DERIV<TAB>DIGEST
//
// where DIGEST is a 64-bit FNV-1a hash of everything a read of all of the
// data set yields (parameters, x axis, map values, every array byte, trace
// labels, region sizes, reads cut short by the end of the file), or
// "failed KIND N0 N1 N2 N3 MESSAGE" where it fails. A file that cannot be
// opened, is no IXAR file or whose directory fails gives one line of its
// own. The output holds no addresses or times: the same files give the same
// lines on every platform and with either executor (--reference: the plain
// one), which is what CI compares.
//
// What only the interpreter decides while a data set is planned is decided
// here as plainly: groups of a multi-region map in order of first
// appearance, coordinates held as text converted by strtod.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "container/directory.hpp"
#include "container/listing.hpp"
#include "container/selection.hpp"
#include "exec/axis.hpp"
#include "exec/execute.hpp"
#include "plan/family.hpp"
#include "plan/staged.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"
#include "platform/platform.hpp"

namespace {

// Plans need no more than this, on every machine alike.
constexpr int64_t kBudget = int64_t{1} << 30;

class Digest {
public:
    void bytes(const void* data, size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) h_ = (h_ ^ p[i]) * 0x100000001b3ull;
    }
    void number(int64_t v) {
        unsigned char b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(static_cast<uint64_t>(v) >> (8 * i));
        bytes(b, 8);
    }
    void real(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        number(static_cast<int64_t>(bits));
    }
    void text(const std::string& s) {
        number(static_cast<int64_t>(s.size()));
        bytes(s.data(), s.size());
    }
    void value(const ixar::Value& v) {
        number(static_cast<int64_t>(v.kind));
        if (v.kind == ixar::Value::Kind::Int) number(v.i);
        else if (v.kind == ixar::Value::Kind::Double) real(v.d);
        else text(v.text);
    }
    uint64_t result() const noexcept { return h_; }

private:
    uint64_t h_ = 0xcbf29ce484222325ull;
};

// Python's equality of the values a Group column holds.
bool sameGroup(const ixar::Value& a, const ixar::Value& b) {
    using K = ixar::Value::Kind;
    if ((a.kind == K::Text) != (b.kind == K::Text)) return false;
    if (a.kind == K::Text) return a.text == b.text;
    const double x = a.kind == K::Int ? a.i : a.d, y = b.kind == K::Int ? b.i : b.d;
    return x == y;
}

class Caller final {
public:
    explicit Caller(Digest& d) : d_(d) {}

    void parameters(const ixar::Prologue& p) {
        d_.number(static_cast<int64_t>(p.params.list().size()));
        for (const ixar::ParamRecord& r : p.params.list()) {
            d_.text(r.name);
            d_.value(r.value);
        }
        const ixar::ParamValue *first = p.params.find("FXV"), *last = p.params.find("LXV"), *n = p.params.find("NPT");
        using K = ixar::Value::Kind;
        if (first && last && n && first->kind == K::Double && last->kind == K::Double && n->kind == K::Int &&
            n->i >= 1) {
            std::vector<double> x(static_cast<size_t>(n->i));
            ixar::fillLinspace(first->d, last->d, n->i, x.data());
            for (double v : x) d_.real(v);
        }
    }
    void notice(const char* text) { d_.text(text); }
    void mapping(const ixar::Mapping& m, bool replaced) {
        for (const ixar::ParamValue* v : {&m.aox, &m.aoy, &m.ddx, &m.ddy, &m.npx, &m.npy}) d_.value(*v);
        d_.number(replaced);
    }
    std::vector<int64_t> groupOrder(const ixar::RegionTables& t) {
        if (t.allInt) return t.firstRow;
        std::vector<ixar::Value> seen;
        std::vector<int64_t> order;
        for (size_t r = 0; r < t.group->cells.size(); ++r) {
            ixar::Value v = ixar::valueOf(t.annotations, t.group->cells[r]);
            bool known = false;
            for (const ixar::Value& s : seen) known = known || sameGroup(s, v);
            if (known) continue;
            seen.push_back(std::move(v));
            order.push_back(static_cast<int64_t>(r));
        }
        return order;
    }
    std::optional<double> coordinate(const std::string& text) {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size()) return std::nullopt;
        return v;
    }

private:
    Digest& d_;
};

void readFailures(Digest& d, const ixar::ReadFailures& failures) {
    d.number(static_cast<int64_t>(failures.size()));
    for (const ixar::ReadFailure& f : failures) {
        d.number(static_cast<int64_t>(f.primitive));
        d.number(f.got);
        d.number(f.at);
    }
}

// An errno value by name, where it is one that every system numbers alike
// in spirit but not always in value.
const char* errnoName(int code) {
    switch (code) {
        case ENOENT: return "ENOENT";
        case EACCES: return "EACCES";
        case EISDIR: return "EISDIR";
        case EINVAL: return "EINVAL";
        case EBADF: return "EBADF";
        case ENOMEM: return "ENOMEM";
        case EIO: return "EIO";
        default: return "E?";
    }
}

std::string failure(const ixar::Error& e) {
    if (e.kind() == ixar::ErrorKind::Os) return std::string("failed os ") + errnoName(e.code());
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64, e.n[0], e.n[1], e.n[2],
                  e.n[3]);
    std::string out = std::string("failed ") + ixar::nameOf(e.kind()) + numbers;
    if (*e.what()) out += std::string(" ") + e.what();
    return out;
}

// A read of all of one data set, as getIxarData plans it.
std::string readDataSet(const ixar::File& file, const std::vector<ixar::DirEntry>& directory,
                        const ixar::ListingEntry& entry, bool reference) {
    const ixar::DataBlockCode* type = nullptr;
    for (const ixar::DataBlockCode& c : ixar::dataBlockCodes())
        if (std::strcmp(c.name, entry.dataType) == 0) type = &c;
    const ixar::DerivativeCode* deriv = nullptr;
    for (const ixar::DerivativeCode& c : ixar::derivativeCodes())
        if (std::strcmp(c.name, ixar::derivativeName(entry.derivType)) == 0) deriv = &c;
    if (!type || !deriv) return "failed request";
    auto staged = ixar::StagedDataSet::select(directory, type->data, type->sample, deriv->code, entry.is3D, kBudget);
    if (!staged) return "failed no-blocks";

    Digest d;
    ixar::ReadFailures failures;
    Caller caller(d);
    std::vector<std::vector<unsigned char>> memory;
    std::vector<std::string> labels;
    try {
        const ixar::Plan plan = ixar::planRead(ixar::planStaged(file, std::move(*staged), caller, failures));
        if (plan.allocationBytes() > kBudget) return "failed too-large";
        std::vector<std::span<unsigned char>> spans;
        for (const ixar::ArraySpec& a : plan.arrays) memory.emplace_back(static_cast<size_t>(a.bytes()), 0);
        for (auto& m : memory) spans.emplace_back(m);
        (reference ? ixar::executeReference : ixar::execute)(file, plan, spans, labels, failures);
        for (size_t i = 0; i < plan.arrays.size(); ++i) {
            const ixar::ArraySpec& a = plan.arrays[i];
            d.number(static_cast<int64_t>(a.shape.size()));
            for (int64_t n : a.shape) d.number(n);
            d.number(a.f64);
            d.bytes(memory[i].data(), memory[i].size());
        }
        for (const ixar::RegionPlan& r : plan.regions) {
            d.number(r.group);
            d.number(r.loose);
            d.number(r.points);
            d.value(r.nx);
            d.value(r.ny);
        }
    } catch (const ixar::Error& e) {
        return failure(e);
    } catch (const std::bad_alloc&) {
        return "failed no-memory";
    }
    d.number(static_cast<int64_t>(labels.size()));
    for (const std::string& l : labels) d.text(l);
    readFailures(d, failures);
    char out[32];
    std::snprintf(out, sizeof out, "%016" PRIx64, d.result());
    return out;
}

void digestFile(const std::string& name, bool reference) {
    const int opened = ixar::platform::openForReading(name);
    if (opened < 0) {
        std::printf("%s\t-\tfailed os %s\n", name.c_str(), errnoName(errno));
        return;
    }
    // Read through a descriptor of its own, as the handle API does.
    const int fd = ixar::platform::adopt(ixar::platform::systemHandle(opened));
    ixar::platform::close(opened);
    if (fd < 0) {
        std::printf("%s\t-\tfailed os %s\n", name.c_str(), errnoName(errno));
        return;
    }
    try {
        const ixar::File file(fd);
        if (!ixar::hasSignature(file)) {
            std::printf("%s\t-\tnot an IXAR file\n", name.c_str());
        } else {
            ixar::ReadFailures failures;
            const std::vector<ixar::DirEntry> directory = ixar::readDirectory(file, failures);
            if (!failures.empty()) std::printf("%s\t-\tdirectory cut short at %" PRId64 "\n", name.c_str(), failures[0].at);
            for (const ixar::ListingEntry& e : ixar::listContents(directory))
                std::printf("%s\t%s %s %s\t%s\n", name.c_str(), e.dataType, e.is3D ? "3D" : "2D",
                            ixar::derivativeName(e.derivType), readDataSet(file, directory, e, reference).c_str());
        }
    } catch (const ixar::Error& e) {
        std::printf("%s\t-\t%s\n", name.c_str(), failure(e).c_str());
    }
    ixar::platform::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = ixar::platform::arguments(argc, argv);
    ixar::platform::binaryStandardOutput();
    bool reference = false;
    std::vector<std::string> files;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--reference") reference = true;
        else if (args[i] == "--help" || args[i] == "-h") {
            std::printf("usage: ixar-digest [--reference] FILE...\n");
            return 0;
        } else files.push_back(args[i]);
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: ixar-digest [--reference] FILE...\n");
        return 2;
    }
    for (const std::string& f : files) digestFile(f, reference);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
