// Annotation block, offsets relative to its start A:
//   A + 0        12 unread bytes
//   A + 12       table directory: a parameter list with NRP (number of
//                tables) and F00, F01, ... (offset of each table's header)
//   A + Fnn      table header: a parameter list with SIZ (header start to
//                first row), SRC (row length), NCO (columns), NLN (rows) and
//                per column Snn (name), Fnn (offset in the row), Tnn (type)
//   A + Fnn + SIZ  the rows, SRC bytes apart
// Column types: 4 int32, 5 float32, 1004/1005/1011 text. The fields of a row
// are read back to back from the row start in column order: 4 bytes for a
// number, and for every text the same width, the widest (SRC - Fnn) over the
// table's text columns. The column offsets only size the text fields.
#include "annotations.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "params.hpp"
#include "platform/checked.hpp"
#include "text.hpp"

namespace ixar {

namespace {

bool isTextType(int32_t t) noexcept { return t == 1004 || t == 1005 || t == 1011; }

// A column's type code as rows are read by it: 4, 5 or a text code, where
// the parameter equals one (a float of that value does); else 0, with the
// code as written for the message of the first row that meets it.
int32_t typeCode(const Value& v, std::string& unknown) {
    for (int32_t code : {4, 5, 1004, 1005, 1011})
        if (v.equals(code)) return code;
    unknown = v.kind == Value::Kind::Int ? std::to_string(v.i) : v.kind == Value::Kind::Double ? floatText(v.d) : v.text;
    return 0;
}

// Parameter lists of a table header can be long; look names up by hash.
class Lookup {
public:
    Lookup(const ParamList& params, int64_t blockOffset) : params_(params), blockOffset_(blockOffset) {
        for (size_t i = 0; i < params.size(); ++i) byName_[params[i].name] = i;  // the later record wins
    }
    const ParamValue& get(const std::string& name) const {
        auto it = byName_.find(name);
        if (it == byName_.end()) throw Error(ErrorKind::Missing, name);
        return params_[it->second].value;
    }
    int32_t getInt(const std::string& name) const {
        const ParamValue& v = get(name);
        if (v.kind != ParamValue::Kind::Int)
            throw Error(ErrorKind::NotInteger, "annotation parameter " + name + " of the list at " + at(blockOffset_) +
                                             " is not an integer");
        return v.i;
    }
private:
    const ParamList& params_;
    int64_t blockOffset_;
    std::unordered_map<std::string, size_t> byName_;
};

std::string numbered(char letter, int64_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%02lld", letter, static_cast<long long>(n));
    return buf;
}

int64_t addOffsets(int64_t a, int64_t b, int64_t blockOffset) {
    int64_t sum;
    if (addOverflows(a, b, sum)) throwDamaged("annotation block at " + at(blockOffset) + ": offset overflow");
    return sum;
}

struct Column {
    size_t slot;  // index into Annotations::columns
    int32_t type;  // 0: unknown, written as `unknown`
    std::string unknown;
    bool kept;    // its values are stored
    AnnoCell* out = nullptr;  // where row 0's value goes, and the step to the next row's
    size_t step = 0;
};

// The key a column name has among the others: equal texts share one, and
// so do numbers of equal value; a NaN equals nothing, not even itself.
std::string keyOf(const Value& name, size_t position) {
    switch (name.kind) {
        case Value::Kind::Text: return "t" + name.text;
        case Value::Kind::Int: return "n" + std::to_string(name.i);
        case Value::Kind::Double:
            if (name.d != name.d) return "x" + std::to_string(position);
            if (std::fabs(name.d) < 9e18 && name.d == static_cast<double>(static_cast<int64_t>(name.d)))
                return "n" + std::to_string(static_cast<int64_t>(name.d));
            char buf[40];
            std::snprintf(buf, sizeof buf, "d%a", name.d);
            return buf;
    }
    return {};
}

}  // namespace

Value valueOf(const Annotations& a, const AnnoCell& cell) {
    Value v;
    switch (cell.kind) {
        case AnnoCell::Kind::Int: v.kind = Value::Kind::Int; v.i = cell.i; break;
        case AnnoCell::Kind::Float: v.kind = Value::Kind::Double; v.d = cell.f; break;
        case AnnoCell::Kind::Text: v.kind = Value::Kind::Text; v.text = a.texts[cell.text]; break;
    }
    return v;
}

const AnnoColumn* Annotations::find(std::string_view name) const noexcept {
    for (const AnnoColumn& c : columns)
        if (c.name.kind == Value::Kind::Text && c.name.text == name) return &c;
    return nullptr;
}

Annotations readAnnotations(const File& file, int64_t offset, ReadFailures& failures,
                            const std::vector<std::string_view>* wanted) {
    Annotations out;
    std::unordered_map<std::string, size_t> slots;
    const std::string where = "annotation block at " + at(offset);

    ParamList dirParams = readParams(file, addOffsets(offset, 12, offset), failures);
    Lookup dir(dirParams, offset + 12);
    const int32_t tables = dir.getInt("NRP");

    Reader r(file, failures);
    // Each table needs its own Fnn entry in the directory, so a corrupt NRP
    // stops at the first missing one.
    for (int32_t k = 0; k < tables; ++k) {
        const int64_t headerOffset = addOffsets(offset, dir.getInt(numbered('F', k)), offset);
        ParamList headerParams = readParams(file, headerOffset, failures);
        Lookup header(headerParams, headerOffset);
        const int64_t firstRow = addOffsets(headerOffset, header.getInt("SIZ"), offset);
        r.seek(firstRow);
        const int32_t rowLength = header.getInt("SRC");
        int64_t textWidth = -1;

        std::vector<Column> columns;
        const int32_t columnCount = header.getInt("NCO");
        for (int32_t i = 0; i < columnCount; ++i) {
            const Value& name = header.get(numbered('S', i));
            header.get(numbered('F', i));  // must be there, whatever it holds
            std::string unknown;
            const int32_t type = typeCode(header.get(numbered('T', i)), unknown);
            auto [it, fresh] = slots.emplace(keyOf(name, out.columns.size()), out.columns.size());
            if (fresh) out.columns.push_back({name, {}});
            else out.columns[it->second].cells = {};  // a new table replaces the values
            const bool kept = !wanted || (name.kind == Value::Kind::Text &&
                                          std::find(wanted->begin(), wanted->end(), name.text) != wanted->end());
            columns.push_back({it->second, type, std::move(unknown), kept});
            // The offset only sizes text fields, so only theirs must be a number.
            if (isTextType(type)) textWidth = std::max(textWidth, int64_t{rowLength} - header.getInt(numbered('F', i)));
        }

        const int32_t rowCount = header.getInt("NLN");
        if (rowCount <= 0 || columns.empty()) continue;
        // Every row is read from its own start; rows of no length would all
        // read the same bytes, and a count beyond what the file could hold
        // would only build lists of garbage.
        if (rowCount > 1 && rowLength <= 0)
            throwDamaged(where + ": table " + std::to_string(k) + " has " + std::to_string(rowCount) +
                       " rows of length " + std::to_string(rowLength));
        // Text fields wider than a row would read far beyond each row.
        if (rowCount > 1 && textWidth > rowLength)
            throwDamaged(where + ": table " + std::to_string(k) + " has text fields of " + std::to_string(textWidth) +
                         " bytes in rows of " + std::to_string(rowLength));
        if (static_cast<int64_t>(rowCount) * static_cast<int64_t>(columns.size()) > file.size())
            throwDamaged(where + ": table " + std::to_string(k) + " claims " + std::to_string(rowCount) + " rows of " +
                       std::to_string(columns.size()) + " columns, more than the file holds");

        // A text width below zero reads nothing.
        const int64_t width = std::max<int64_t>(textWidth, 0);
        int64_t rowReads = 0;  // bytes one row reads, up to the first unknown type
        for (const Column& c : columns) {
            if (c.type == 4 || c.type == 5) rowReads += 4;
            else if (isTextType(c.type)) rowReads += width;
            else break;
        }

        // One block for the kept columns: each slot's values row by row,
        // a slot the table names m times taking m values a row.
        {
            std::unordered_map<size_t, size_t> times;
            size_t kept = 0;
            for (const Column& c : columns)
                if (c.kept) ++times[c.slot], ++kept;
            PageVector<AnnoCell>& block = out.blocks.emplace_back(static_cast<size_t>(rowCount) * kept);
            std::unordered_map<size_t, std::pair<AnnoCell*, size_t>> place;  // slot -> (start, values so far a row)
            AnnoCell* next = block.data();
            for (Column& c : columns) {
                if (!c.kept) continue;
                auto [it, fresh] = place.emplace(c.slot, std::make_pair(next, size_t{0}));
                const size_t m = times[c.slot];
                if (fresh) {
                    out.columns[c.slot].cells = {next, static_cast<size_t>(rowCount) * m};
                    next += static_cast<size_t>(rowCount) * m;
                }
                c.out = it->second.first + it->second.second++;
                c.step = m;
            }
        }
        if (std::any_of(columns.begin(), columns.end(), [](const Column& c) { return c.kept && isTextType(c.type); }))
            out.texts.reserve(out.texts.size() + static_cast<size_t>(rowCount));
        // Rows are read a chunk at a time and decoded from memory.
        constexpr int64_t kChunk = 1 << 20;
        PageBuffer<unsigned char> buf;
        for (int32_t row = 0; row < rowCount;) {
            const int64_t rowStart = addOffsets(firstRow, int64_t{row} * rowLength, offset);
            r.seek(rowStart);
            if (rowReads > file.size() - rowStart)
                throwDamaged(where + ": row " + std::to_string(row) + " of table " + std::to_string(k) + " at " +
                           at(rowStart) + " reaches past the end of the file");
            // Rows from here on that lie wholly in the file and in one chunk.
            int64_t rows = 1;
            if (rowLength > 0) {
                const int64_t fit = (file.size() - rowStart - rowReads) / rowLength + 1;
                const int64_t span = std::max<int64_t>(kChunk - rowReads, 0) / rowLength + 1;
                rows = std::min<int64_t>({rowCount - int64_t{row}, fit, span});
            }
            const int64_t bytes = (rows - 1) * rowLength + rowReads;
            unsigned char* const chunk = buf.ensure(static_cast<size_t>(bytes));
            if (r.read(chunk, static_cast<size_t>(bytes)) < static_cast<size_t>(bytes))
                throwDamaged(where + ": the file ended while table " + std::to_string(k) + " was read");
            for (int64_t n = 0; n < rows; ++n) {
                const unsigned char* p = chunk + n * rowLength;
                const size_t rowIndex = static_cast<size_t>(row + n);
                for (const Column& c : columns) {
                    AnnoCell cell{};
                    if (c.type == 4) {
                        cell.kind = AnnoCell::Kind::Int;
                        cell.i = static_cast<int32_t>(loadLE32(p));
                        p += 4;
                    } else if (c.type == 5) {
                        cell.kind = AnnoCell::Kind::Float;
                        cell.f = loadLEFloat(p);
                        p += 4;
                    } else if (isTextType(c.type)) {
                        cell.kind = AnnoCell::Kind::Text;
                        cell.text = static_cast<uint32_t>(out.texts.size());
                        std::string_view field(reinterpret_cast<const char*>(p), static_cast<size_t>(width));
                        // Every text is checked; only kept ones are stored.
                        if (c.kept) out.texts.push_back(requireAscii(cutAtNul(field)));
                        else if (!isAscii(cutAtNul(field))) requireAscii(cutAtNul(field));
                        p += width;
                    } else {
                        throwDamaged("Unknown annotation data type " + c.unknown);
                    }
                    if (c.kept) c.out[rowIndex * c.step] = cell;
                }
            }
            row += static_cast<int32_t>(rows);
        }
    }
    return out;
}

}  // namespace ixar
