// A data set planned in stages, with the caller's own part of the reading
// done between them: the prologue (then the caller makes the parameters and
// the x axis and shows the notice), the questions (then it answers them),
// and the plan. The binding runs the stages one call at a time, for Python;
// planStaged runs them in one go for callers in C++ (the digest tool, the
// fuzzers) whose part is plain code.
#pragma once
#include <memory>
#include <optional>
#include <stdexcept>

#include "container/blocktype.hpp"
#include "container/selection.hpp"
#include "family.hpp"
#include "layout.hpp"

namespace ixar {

class StagedDataSet {
public:
    enum class Stage { Prologue, Ask, Plan, Planned };  // what comes next

    StagedDataSet(const Selection& sel, const PlanRequest& req) : sel_(sel), req_(req) {}

    // The data set that a request's codes select in the directory, to be
    // planned within `budget` bytes; none where the directory holds no data
    // block or no parameter block for them.
    static std::optional<StagedDataSet> select(const std::vector<DirEntry>& directory, int data, int sample,
                                               int derivative, bool is3D, int64_t budget) {
        const Selection sel = selectBlocks(directory, {data, sample, is3D ? kExtend3D : 0, derivative});
        if (sel.offsetToData == -1 || sel.offsetToParams == -1) return std::nullopt;
        return StagedDataSet(sel, {is3D, data == kTraceData, derivative != 0, budget});
    }

    // Takes the next stage for a call, which must find the data set at `at`
    // with no other stage running; false where it does not. Every stage
    // taken is ended by end(). The caller takes and ends stages, and asks
    // planned(), under one lock (the binding: the interpreter's), and runs
    // the stage itself without it: the stage is read only once no stage runs.
    bool take(Stage at) noexcept {
        if (busy_ || stage_ != at) return false;
        busy_ = true;
        return true;
    }
    void end() noexcept { busy_ = false; }

    const Prologue& prologue(const File& file, ReadFailures& failures) {
        prologue_ = readPrologue(file, sel_, req_, failures);
        stage_ = Stage::Ask;
        return prologue_;
    }

    // What the caller answers; where nothing is asked (and, if stopAtFailure,
    // no read failed), the data set is planned at once.
    const Questions& ask(const File& file, ReadFailures& failures, bool stopAtFailure = false) {
        asked_ = askFor(file, sel_, req_, prologue_, failures);
        if (asked_.tables) texts_ = textCoordinates(*asked_.tables);
        stage_ = Stage::Plan;
        if (!asked_.mapping && !asked_.tables && !(stopAtFailure && !failures.empty())) plan(file, {}, {}, failures);
        return asked_;
    }
    // The texts of the map coordinates asked for.
    const std::vector<uint32_t>& texts() const noexcept { return texts_; }
    const std::string& text(size_t i) const { return asked_.tables->annotations.texts.at(texts_.at(i)); }

    // The layout, with the caller's answers: the first row of each group in
    // its order, and a value for each of texts().
    void plan(const File& file, std::vector<int64_t> groupOrder, const std::vector<TextCoordinate>& values,
              ReadFailures& failures) {
        Answers answers{std::move(groupOrder), {}};
        if (asked_.tables) {
            if (values.size() != texts_.size()) throw std::invalid_argument("expected one coordinate per text");
            answers.texts.assign(asked_.tables->annotations.texts.size(), std::nullopt);
            for (size_t i = 0; i < texts_.size(); ++i) answers.texts[texts_[i]] = values[i];
        }
        layout_ = std::make_shared<Layout>(planDataSet(file, sel_, req_, prologue_, asked_, answers, failures));
        prologue_ = {};  // what planning needed, no longer
        asked_ = {};
        stage_ = Stage::Planned;
    }
    bool planned() const noexcept { return !busy_ && stage_ == Stage::Planned; }
    const std::shared_ptr<Layout>& layout() const noexcept { return layout_; }

private:
    Selection sel_;
    PlanRequest req_;
    Prologue prologue_;
    Questions asked_;
    std::vector<uint32_t> texts_;
    std::shared_ptr<Layout> layout_;
    Stage stage_ = Stage::Prologue;
    bool busy_ = false;
};

template <class Caller>
Layout planStaged(const File& file, StagedDataSet s, Caller& caller, ReadFailures& failures) {
    const Prologue& p = s.prologue(file, failures);
    caller.parameters(p);
    if (p.notice) caller.notice(p.notice);
    const Questions& asked = s.ask(file, failures);
    if (!s.planned()) {
        if (asked.mapping) caller.mapping(*asked.mapping, asked.replaced);
        std::vector<int64_t> order;
        std::vector<TextCoordinate> values;
        if (asked.tables) order = caller.groupOrder(*asked.tables);
        for (size_t i = 0; i < s.texts().size(); ++i) values.push_back(caller.coordinate(s.text(i)));
        s.plan(file, std::move(order), values, failures);
    }
    return std::move(*s.layout());
}

}  // namespace ixar
