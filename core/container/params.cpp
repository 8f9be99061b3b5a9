// A parameter record:
//   0  4 bytes   name, UTF-8, NUL padded ("NPT\0")
//   4  int16     type code
//   6  int16     size of the value in 16-bit words
//   8  value     type 0: int32, 4 bytes; type 1: double, 8 bytes (whatever the
//                size says); types 2, 3, 4: text of 2 x size bytes, ending at
//                its first NUL, ASCII
// The next record starts right behind the value. A record whose name, with
// NULs stripped from both ends, is END closes the block; only its name field
// is read.
#include "params.hpp"

#include <algorithm>

#include "text.hpp"

namespace ixar {

namespace {

std::string_view stripNuls(std::string_view s) noexcept {
    while (!s.empty() && s.front() == '\0') s.remove_prefix(1);
    while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
    return s;
}

}  // namespace

ParamList readParams(const File& file, int64_t offset, ReadFailures& failures) {
    Reader r(file, failures);
    r.seek(offset);
    ParamList params;
    // Every record consumes at least one byte of the file, so the loop ends
    // at end of file at the latest.
    for (;;) {
        std::string raw = r.readBytes(4);
        if (raw.empty())
            throwDamaged("parameter block at " + at(offset) + " reaches the end of the file before its END record");
        if (!isValidUtf8(raw)) throw Error(ErrorKind::DecodeUtf8, "parameter name is not UTF-8", 0, raw);
        std::string_view name = stripNuls(raw);
        if (name == "END") return params;

        int16_t type = r.readShort();
        int16_t size = r.readShort();
        ParamValue v;
        switch (type) {
            case 0:
                v.kind = ParamValue::Kind::Int;
                v.i = r.readInt();
                break;
            case 1:
                v.kind = ParamValue::Kind::Double;
                v.d = r.readDouble();
                break;
            case 2:
            case 3:
            case 4: {
                if (size < 0)
                    throwDamaged("parameter block at " + at(offset) + ": text record '" + std::string(name) +
                               "' has a negative size (" + std::to_string(size) + ")");
                std::string text = r.readBytes(2 * int64_t{size});
                v.kind = ParamValue::Kind::Text;
                v.text = requireAscii(cutAtNul(text));
                break;
            }
            default:
                throwDamaged("Unexpected value for reading parameter type: " + std::to_string(type));
        }
        params.push_back({std::string(name), std::move(v)});
    }
}

const ParamValue* findParam(const ParamList& params, std::string_view name) noexcept {
    for (auto it = params.rbegin(); it != params.rend(); ++it)
        if (it->name == name) return &it->value;
    return nullptr;
}

void MergedParams::merge(const ParamList& block) {
    for (const ParamRecord& rec : block) set(rec.name, rec.value);
}

void MergedParams::set(const std::string& name, const ParamValue& value) {
    auto [it, fresh] = index_.emplace(name, list_.size());
    if (fresh) list_.push_back({name, value});
    else list_[it->second].value = value;
}

const ParamValue* MergedParams::find(std::string_view name) const {
    auto it = index_.find(std::string(name));
    return it == index_.end() ? nullptr : &list_[it->second].value;
}

int32_t requireInt(const ParamList& params, std::string_view name, int64_t blockOffset) {
    const ParamValue* v = findParam(params, name);
    if (!v) throw Error(ErrorKind::Missing, std::string(name));
    if (v->kind != ParamValue::Kind::Int)
        throw Error(ErrorKind::NotInteger, "parameter " + std::string(name) + " of the list at " + at(blockOffset) +
                                         " is not an integer");
    return v->i;
}

}  // namespace ixar
