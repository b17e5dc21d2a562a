#include "logging/ReportOrder.h"

#include "app/AppState.h"
#include "logging/Logs.h"

namespace kv {

ReportOrder::ReportOrder(AppState& state) : state_(state), outer_(state.reportOrder) {
    state_.reportOrder = this;
}

ReportOrder::~ReportOrder() {
    try {
        FinishAll();
    } catch (...) {
        // Reporting never throws for the log; a host's failure ends here.
    }
    state_.reportOrder = outer_;
}

ReportOrder::Group ReportOrder::Open() {
    groups_.emplace_back();
    selected_ = first_ + groups_.size() - 1;
    anySelected_ = true;
    return selected_;
}

void ReportOrder::Select(Group g) {
    selected_ = g;
    anySelected_ = true;
}

void ReportOrder::Finish(Group g) {
    if (g < first_ || g - first_ >= groups_.size())
        return;
    groups_[g - first_].finished = true;
    if (anySelected_ && selected_ == g)
        anySelected_ = false;
    Drain();
}

void ReportOrder::FinishAll() {
    for (Lines& l : groups_)
        l.finished = true;
    anySelected_ = false;
    Drain();
}

bool ReportOrder::Hold(const std::string& line, bool view, bool box) {
    if (groups_.empty())
        return false;
    if (!anySelected_ || selected_ < first_ || selected_ - first_ >= groups_.size()) {
        // Not a file's line: it comes after every group opened so far.
        Lines after;
        after.finished = true;
        after.held.push_back({line, view, box});
        groups_.push_back(std::move(after));
        Drain();
        return true;
    }
    if (selected_ == first_)
        return false; // the first unfinished group writes at once
    groups_[selected_ - first_].held.push_back({line, view, box});
    return true;
}

void ReportOrder::Emit(const Held& h) {
    // Written through the log as if reported now, but with its own time stamp.
    ReportOrder* self = state_.reportOrder;
    state_.reportOrder = outer_;
    try {
        ReportMessage(state_, h.line, h.view, h.box);
    } catch (...) {
        state_.reportOrder = self;
        throw;
    }
    state_.reportOrder = self;
}

void ReportOrder::Drain() {
    while (!groups_.empty()) {
        Lines& front = groups_.front();
        std::vector<Held> lines = std::move(front.held);
        front.held.clear();
        for (const Held& h : lines)
            Emit(h);
        if (!front.finished)
            return;
        groups_.pop_front();
        ++first_;
    }
}

} // namespace kv
