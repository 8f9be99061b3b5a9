// The stages of planning a data set run in one go, for callers in C++ (the
// digest tool, the fuzzers) whose own part of planning is plain code:
// Caller has parameters(prologue), notice(text), mapping(mapping, replaced),
// groupOrder(tables) and coordinate(text) -> optional<double>.
#pragma once
#include "family.hpp"
#include "layout.hpp"

namespace ixar {

template <class Caller>
Layout planStaged(const File& file, const Selection& sel, const PlanRequest& req, Caller& caller,
                ReadFailures& failures) {
    Prologue p = readPrologue(file, sel, req, failures);
    caller.parameters(p);
    if (p.notice) caller.notice(p.notice);
    Questions asked = askFor(file, sel, req, p, failures);
    Answers answers;
    if (asked.mapping) caller.mapping(*asked.mapping, asked.replaced);
    if (asked.tables) {
        const RegionTables& t = *asked.tables;
        answers.groupOrder = caller.groupOrder(t);
        answers.texts.assign(t.annotations.texts.size(), std::nullopt);
        for (uint32_t text : textCoordinates(t))
            answers.texts.at(text) = caller.coordinate(t.annotations.texts.at(text));
    }
    return planDataSet(file, sel, req, p, asked, answers, failures);
}

}  // namespace ixar
